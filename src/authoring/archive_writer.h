// Writes a package: a stub (normally the updater's program image), the
// entries' bytes end to end, the directory, and the directory's offset as the
// last four bytes. The first directory record covers the stub itself.
#ifndef UPKEEP_AUTHORING_ARCHIVE_WRITER_H_
#define UPKEEP_AUTHORING_ARCHIVE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace upkeep {

class File;

// A temporary file that holds large entries until the package is written, so
// that the writer's memory does not grow with them. It is deleted when the
// last entry that refers to it goes, on success and failure alike.
class PayloadSpool {
 public:
  // A new file named `stem` + ".spool" (a free variant of it); null when it
  // cannot be created.
  static std::shared_ptr<PayloadSpool> Create(const std::string& stem);
  ~PayloadSpool();
  PayloadSpool(const PayloadSpool&) = delete;
  PayloadSpool& operator=(const PayloadSpool&) = delete;

  const std::string& path() const { return path_; }
  // Where the next appended bytes go.
  uint64_t end() const { return end_; }
  bool Append(const uint8_t* data, size_t size);
  // Writes over bytes already appended (a header made at the end).
  bool Overwrite(uint64_t offset, const uint8_t* data, size_t size);
  // Forgets what was appended from `end` on (a payload that was not kept).
  void Cut(uint64_t end);
  bool Read(uint64_t offset, uint8_t* data, size_t size);

 private:
  PayloadSpool(const std::string& path, std::unique_ptr<File> file);
  std::string path_;
  std::unique_ptr<File> file_;
  uint64_t end_ = 0;
};

struct ArchiveEntry {
  std::string name;           // any case, '/' or '\'; stored as the reader looks it up
  std::vector<uint8_t> data;  // the bytes the entry yields when read
  bool packed = false;        // archive-level packing instead of stored as is
  // Set instead of `data`: the bytes are [spool_offset, spool_offset +
  // spool_size) of the spool (never packed).
  std::shared_ptr<PayloadSpool> spool;
  uint64_t spool_offset = 0;
  uint64_t spool_size = 0;

  uint64_t size() const { return spool != nullptr ? spool_size : data.size(); }
};

// Whether two entries hold the same bytes, wherever each is kept.
bool SameEntryBytes(const ArchiveEntry& a, const ArchiveEntry& b);

struct ArchiveOptions {
  // Name of the first record, the one that covers the stub.
  std::string stub_entry_name = "UPKEEP.EXE";
  // The package's length is made a multiple of this with zero bytes between
  // the last entry and the directory (1: none). Signers then add no padding
  // of their own before the certificate table.
  uint32_t end_alignment = 1;
  // A PE stub gets the checksum of the whole file in its header.
  bool pe_checksum = false;
  // WritePackage adds a manifest (package/manifest.h) as the last entry: every
  // entry's digest, the directory it vouches for, and the data volumes, into
  // which go the payloads that would take the program file past
  // `volume_size` (each volume is cut at that size too; 0: 4 GiB - 1, the
  // most the program file's format holds). Scripts and texts always stay in
  // the program file.
  bool manifest = false;
  uint64_t volume_size = 0;
};

// The stored form of an entry name ("data/x.txt" -> "DATA\X.TXT"). False when
// no request could find it: empty, a NUL inside, or longer than 1023 bytes.
bool NormalizeEntryName(const std::string& name, std::string* out);

// The whole package in memory: stub, entries, directory, trailer. False (with
// a reason in `error`, when given) for a bad or duplicate name or sizes that do
// not fit the format's 32-bit fields.
bool BuildPackage(const std::vector<uint8_t>& stub, const std::vector<ArchiveEntry>& entries,
                  std::vector<uint8_t>* image, std::string* error = nullptr,
                  const ArchiveOptions& options = ArchiveOptions());

// Writes the package to `path` through the platform file system: a temporary
// file beside it, then a rename, so `path` holds either the complete package or
// whatever it held before.
// `volumes`, when given, gets the paths of the data volumes written beside it.
bool WritePackage(const std::string& path, const std::vector<uint8_t>& stub,
                  const std::vector<ArchiveEntry>& entries, std::string* error = nullptr,
                  const ArchiveOptions& options = ArchiveOptions(),
                  std::vector<std::string>* volumes = nullptr);

// WritePackage with the stub read from a file (an empty stub_path writes a
// bare archive whose first record is empty).
bool WritePackageWithStubFile(const std::string& path, const std::string& stub_path,
                              const std::vector<ArchiveEntry>& entries,
                              std::string* error = nullptr,
                              const ArchiveOptions& options = ArchiveOptions());

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_ARCHIVE_WRITER_H_
