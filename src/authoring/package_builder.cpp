#include "authoring/package_builder.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "authoring/block_stream_writer.h"
#include "authoring/change_encoder.h"
#include "authoring/delta_block_match.h"
#include "authoring/delta_encoder.h"
#include "authoring/payload_writer.h"
#include "authoring/script_messages.h"
#include "authoring/script_writer.h"
#include "authoring/stub_image.h"
#include "authoring/string_keys.h"
#include "authoring/strings_encoding.h"
#include "authoring/tree_diff.h"
#include "authoring/tree_program.h"
#include "authoring/work_threads.h"
#include "install/installation.h"
#include "package/delta_extended.h"
#include "package/delta_format.h"
#include "package/delta_redeflate.h"
#include "package/package.h"
#include "package/payload_stream.h"
#include "platform/code_page.h"
#include "platform/file_system.h"
#include "platform/fs_path.h"
#include "platform/text.h"
#include "script/command_schema.h"
#include "script/script_call.h"
#include "script/script_parser.h"
#include "script/script_reader.h"

namespace upkeep {

namespace {

constexpr size_t kInstalledVersion = 7;
// Free space is counted in whole clusters of this size.
constexpr uint64_t kCluster = 4096;

// Entry names count in eight hexadecimal digits.
std::string Hex8(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

uint64_t OnDisk(uint64_t size) { return (size + kCluster - 1) / kCluster * kCluster; }

// zlib's crc32 over any length (its length argument is 32 bits wide).
uLong Crc32Continue(uLong crc, const uint8_t* p, size_t n) {
  while (n > 0) {
    const uInt k = static_cast<uInt>(std::min<size_t>(n, size_t{1} << 30));
    crc = crc32(crc, p, k);
    p += k;
    n -= k;
  }
  return crc;
}

// Parses a script as the updater will; false when it does not parse. Its
// messages, placed in `shown_as`, go to `messages`.
bool ParsesAsTheUpdaterReadsIt(const std::vector<uint8_t>& bytes, const char* name,
                               const std::string& shown_as, std::vector<std::string>* messages,
                               std::string* error) {
  std::unique_ptr<ScriptReader> reader =
      ScriptFromText(std::string(bytes.begin(), bytes.end()), name);
  ScriptMessages sink(name, shown_as);
  reader->errorSink = &sink;
  int failed = 0;
  std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, failed);
  messages->insert(messages->end(), sink.lines.begin(), sink.lines.end());
  if (failed) {
    *error = shown_as + " does not parse";
    return false;
  }
  return true;
}

// The texts of a string table by upper-cased key; none when it does not parse.
std::map<std::string, std::string> StringTexts(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<ScriptReader> reader =
      ScriptFromText(std::string(bytes.begin(), bytes.end()), "Strings.scr");
  int failed = 0;
  std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, failed);
  if (failed || !program) return {};
  return StringTexts(*program);
}

// The code page of the string table's Locale call (the updater's ANSI code
// page for names once it has read the table), 1252 without one.
int ScriptCodePage(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<ScriptReader> reader =
      ScriptFromText(std::string(bytes.begin(), bytes.end()), "Strings.scr");
  int failed = 0;
  std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, failed);
  int code_page = 1252;
  if (failed || !program) return code_page;
  for (const ScriptCall* call = program->first; call; call = call->next) {
    const char* name = StringArgument(call, 0);
    if (!CallNameIs(call, "Locale") || name == nullptr) continue;
    if (SelectLocale(name)) code_page = CurrentCodePage();
    SelectLocale("C");  // the tool itself keeps the C locale
  }
  return code_page;
}

std::string Trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n\v\f");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n\v\f");
  return s.substr(b, e - b + 1);
}

// The new version of a changed file: read whole, or for large files mapped
// and let go of a window at a time behind the encoders (and the checksum).
class NewFile : public ChangeInput {
 public:
  bool Open(const std::string& path, bool windowed, size_t window) {
    if (windowed) {
      view_ = GetFileSystem()->MapFileForWalk(path);
      if (view_ != nullptr && view_->size() <= SIZE_MAX &&
          (view_->data() != nullptr || view_->size() == 0)) {
        data_ = view_->data();
        size_ = static_cast<size_t>(view_->size());
        window_ = std::max<size_t>(window, 1);
        return true;
      }
      view_.reset();  // not mappable here: read it whole
    }
    if (!ReadWholeFile(path, &bytes_)) return false;
    data_ = bytes_.data();
    size_ = bytes_.size();
    return true;
  }
  uint64_t size() const override { return size_; }
  const uint8_t* data() const override { return data_; }
  bool ReadAt(uint64_t offset, uint8_t* dst, size_t n) const override {
    return MemoryChangeInput(data_, size_).ReadAt(offset, dst, n);
  }
  void Release(uint64_t offset, uint64_t length) const override {
    if (view_ != nullptr) view_->Release(offset, length);
  }
  size_t window() const override { return view_ != nullptr ? window_ : 0; }
  // Lets the pages below `pos` go, where the file is mapped.
  void Release(size_t pos) const { Release(0, pos); }

  uint32_t Crc32() const {
    uLong crc = crc32(0L, Z_NULL, 0);
    const size_t part = view_ != nullptr ? window_ : size_t{1} << 30;
    for (size_t at = 0; at < size_;) {
      const size_t n = std::min<size_t>({size_ - at, part, size_t{1} << 30});
      crc = crc32(crc, data_ + at, static_cast<uInt>(n));
      at += n;
      if (view_ != nullptr) view_->Release(0, at);
    }
    return static_cast<uint32_t>(crc);
  }

 private:
  std::vector<uint8_t> bytes_;
  std::unique_ptr<MappedView> view_;
  size_t window_ = 0;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// A name no other make uses at the same time, in the temporary folder.
std::string TemporarySpoolStem() {
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  std::random_device random;
  char tag[9];
  std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(random()));
  return FsText((ec ? std::filesystem::path(".") : dir) / (std::string("upkeep-pack-") + tag));
}

class Builder {
 public:
  Builder(const MakeOptions& options, std::vector<ArchiveEntry>* entries, MakeSummary* summary,
          std::string* error)
      : options_(options), entries_(entries), summary_(summary), error_(error) {}

  // The work ahead, for progress: files to encode and their new sizes.
  void AddWork(size_t files, uint64_t bytes) {
    progress_.files_total += files;
    progress_.bytes_total += bytes;
  }

  // The threads that encode files; set before the first section.
  void SetThreads(WorkThreads* threads) { threads_ = threads; }
  // Jobs not yet begun return at once (the make failed).
  void Cancel() { cancelled_ = true; }

  bool Section(const Tree& from, const Tree& to, const TreeChanges& changes,
               const std::string& from_version, const std::string& to_version,
               ScriptSection* section) {
    section->from_version = from_version;
    section->to_version = to_version;
    std::vector<ScriptCommand> checks, work;
    // Bytes gained or freed as the commands run, and the most needed at any time.
    int64_t extra = 0;
    int64_t peak = 0;
    auto need = [&](int64_t during) { peak = std::max(peak, extra + during); };

    std::vector<std::string> check_files = changes.check_files;
    for (const auto& dir : changes.deleted_dirs) FilesBelow(from, dir, &check_files);
    for (const auto& dir : changes.replaced_dirs) FilesBelow(from, dir, &check_files);
    std::sort(check_files.begin(), check_files.end(),
              [](const std::string& a, const std::string& b) { return CompareNames(a, b) < 0; });
    for (const auto& name : check_files) {
      std::string crc = CrcOf(from, name);
      if (crc.empty()) return Fail("cannot read", from, name);
      checks.push_back({"CheckFile", {Text(name), Text(crc)}});
    }
    for (const auto& name : changes.replaced_files) {
      work.push_back({"DeleteFile", {Text(name), Text(CrcOf(from, name))}});
      ++summary_->deleted;
    }
    for (const auto& name : changes.replaced_dirs) {
      if (!options_.remove_folders) {
        *error_ = "folder " + NativePath(from.root, name) +
                  " is a file in the new tree: removing it takes along whatever players keep in "
                  "it; give --remove-folders to allow that";
        return false;
      }
      DeleteOldFiles(from, name, &work);
      work.push_back({"DeleteDir", {Text(name)}});
      ++summary_->dirs_removed;
    }
    for (const auto& name : changes.created_dirs) {
      work.push_back({"CreateDir", {Text(name)}});
      ++summary_->dirs_created;
    }
    // A move is a rename, which never stops the run: the closing check finds
    // a file that did not arrive.
    std::set<std::string> moved_from;
    for (const auto& r : changes.renamed_files) {
      work.push_back({"RenameFile", {Text(r.old_name), Text(r.name)}});
      moved_from.insert(FoldedName(r.old_name));
      Wrote(r.name);
      ++summary_->renamed;
    }
    // A changed file goes in as a whole file (`file_entry`) or a delta.
    const auto changed = [&](const TreeChanges::Changed& c, bool moved,
                             const std::string& file_entry, const std::string& delta_entry,
                             const std::string& crc_old, const std::string& crc_new) {
      if (!file_entry.empty()) {
        work.push_back({"CreateFile", {Text(c.name), Text(file_entry), Text(crc_new)}});
        Wrote(c.name);
        ++summary_->created;
        if (moved) {
          work.push_back({"DeleteFile", {Text(c.old_name), Text(crc_old)}});
          ++summary_->deleted;
        }
        need(static_cast<int64_t>(OnDisk(c.new_size)) - static_cast<int64_t>(OnDisk(c.old_size)));
      } else {
        if (moved) {
          work.push_back({"RenameFile", {Text(c.old_name), Text(c.name)}});
          ++summary_->renamed;
        }
        work.push_back(
            {"PatchFile", {Text(c.name), Text(delta_entry), Text(crc_old), Text(crc_new)}});
        Wrote(c.name);
        ++summary_->patched;
        // The old content stays beside the new one until the patch is done.
        need(static_cast<int64_t>(OnDisk(c.new_size)));
      }
      extra += static_cast<int64_t>(OnDisk(c.new_size)) - static_cast<int64_t>(OnDisk(c.old_size));
    };
    // Files are encoded as jobs, on as many threads as make has; the commands
    // are written from their results in the files' order, so the package is
    // the same whatever ran where.
    std::vector<std::shared_ptr<FileWork>> jobs;
    if (!StartJobs(from, to, changes, &jobs)) return false;
    size_t job = 0;
    for (const auto& c : changes.changed_files) {
      const bool moved = CompareNames(c.name, c.old_name) != 0;
      if (moved) moved_from.insert(FoldedName(c.old_name));
      Begin("patch", c.name);
      FileWork& w = Take(jobs, job);
      if (!w.error.empty()) {
        *error_ = w.error;
        return false;
      }
      std::string file_entry;  // set when the whole file wins
      if (w.large) {
        std::string delta_entry;
        if (w.change.form != ChangeForm::kPredicted) {
          // The large-file search gave up (the file is mostly new): a delta
          // of block matches where they cover enough of it, else the file
          // whole in blocks.
          if (!LargeChange(from, to, c, &file_entry, &delta_entry)) return false;
        } else if (w.change.stream_whole && uint64_t{w.change.bytes.size()} * 2 >= c.new_size) {
          // Half of it or more is new: whole, in blocks, it costs no more.
          std::vector<uint8_t>().swap(w.change.bytes);
          uint32_t crc = 0;
          uint64_t size = 0;
          if (!StreamBlocks(to, c.name, &file_entry, &crc, &size)) return false;
        } else {
          delta_entry = AddPayload(ChangeFormKind(w.change.form), std::move(w.change.bytes));
          if (delta_entry.empty()) return false;
        }
        changed(c, moved, file_entry, delta_entry, w.crc_old, w.crc_new);
        Finish(jobs, job++, c.new_size);
        continue;
      }
      if (w.change.stream_whole && !w.large) {
        // The stream stops as soon as it is over the delta.
        const bool have_delta = !w.change.bytes.empty();
        if (!StreamWhole(*w.new_file, have_delta ? w.change.bytes.size() : UINT64_MAX, &file_entry,
                         nullptr))
          return false;
      } else if (w.change.form == ChangeForm::kWhole) {
        file_entry = AddPayload("FILE", std::move(w.change.bytes));
        if (file_entry.empty()) return false;
      }
      std::string delta_entry;
      if (file_entry.empty()) {
        delta_entry = AddPayload(ChangeFormKind(w.change.form), std::move(w.change.bytes));
        if (delta_entry.empty()) return false;
      }
      changed(c, moved, file_entry, delta_entry, w.crc_old, w.crc_new);
      Finish(jobs, job++, c.new_size);
    }
    for (const auto& f : changes.created_files) {
      Begin("add", f.name);
      FileWork& w = Take(jobs, job);
      if (!w.error.empty()) {
        *error_ = w.error;
        return false;
      }
      std::string entry;
      if (w.large) {
        // Any size: whole, in blocks, read as a stream.
        uint64_t size = 0;
        if (!WholeFile(to, f.name, f.size, &entry, &w.crc_new, &size)) return false;
      } else if (w.new_file != nullptr) {
        uint32_t value = 0;
        if (!StreamWhole(*w.new_file, UINT64_MAX, &entry, &value)) return false;
        w.crc_new = ChecksumText(value);
      } else {
        entry = AddPayload("FILE", std::move(w.change.bytes));
        if (entry.empty()) return false;
      }
      work.push_back({"CreateFile", {Text(f.name), Text(entry), Text(w.crc_new)}});
      Wrote(f.name);
      ++summary_->created;
      need(static_cast<int64_t>(OnDisk(f.size)));
      extra += static_cast<int64_t>(OnDisk(f.size));
      Finish(jobs, job++, f.size);
    }
    for (const auto& f : changes.deleted_files) {
      work.push_back({"DeleteFile", {Text(f.name), Text(CrcOf(from, f.name))}});
      ++summary_->deleted;
    }
    // The old files go one by one, each logged; the folder (with anything
    // players added to it) only when the author asks.
    for (const auto& name : changes.deleted_dirs) {
      DeleteOldFiles(from, name, &work, moved_from);
      if (options_.remove_folders) {
        work.push_back({"DeleteDir", {Text(name)}});
        ++summary_->dirs_removed;
      } else {
        summary_->kept_folders.push_back(name);
      }
    }
    const uint64_t required = static_cast<uint64_t>(std::max<int64_t>(peak, 0));
    section->commands = std::move(checks);
    section->commands.push_back({"FreeSpace", {Number(required)}});
    for (auto& c : work) section->commands.push_back(std::move(c));
    return true;
  }

  // Every file a section wrote that the new tree has, with its new checksum.
  // False when a file cannot be read; no commands when nothing was written.
  bool FinalCheck(const Tree& to, ScriptSection* section) {
    for (const auto& f : to.files) {
      if (!written_.count(FoldedName(f.name))) continue;
      std::string crc = CrcOf(to, f.name);
      if (crc.empty()) return Fail("cannot read", to, f.name);
      section->commands.push_back({"CheckFile", {Text(f.name), Text(crc)}});
    }
    return true;
  }

  // The bank files of the new tree, with the folders they need.
  bool Banks(const Tree& to, const std::vector<TreeFile>& banks, ScriptSection* section) {
    std::vector<ScriptCommand> work;
    std::vector<std::string> dirs;
    uint64_t space = 0;
    for (const auto& bank : banks) {
      const std::string& name = bank.name;
      for (size_t cut = name.find('\\'); cut != std::string::npos; cut = name.find('\\', cut + 1)) {
        std::string dir = name.substr(0, cut);
        bool known = false;
        for (const auto& d : dirs) known = known || CompareNames(d, dir) == 0;
        if (!known) {
          dirs.push_back(dir);
          work.push_back({"IsOKDir", {Text(dir)}});
        }
      }
      std::string entry, crc;
      uint64_t written = 0;
      if (!WholeFile(to, name, bank.size, &entry, &crc, &written)) return false;
      work.push_back({"CreateFile", {Text(name), Text(entry), Text(crc)}});
      ++summary_->created;
      space += OnDisk(written);
      Done(written);
    }
    section->commands.push_back({"FreeSpace", {Number(space)}});
    for (auto& c : work) section->commands.push_back(std::move(c));
    return true;
  }

 private:
  static std::string FoldedName(const std::string& name) {
    std::string r = name;
    for (char& c : r) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    return r;
  }

  void Wrote(const std::string& name) { written_.insert(FoldedName(name)); }

  // Names of the files of `tree` below folder `dir`.
  static void FilesBelow(const Tree& tree, const std::string& dir,
                         std::vector<std::string>* names) {
    const std::string prefix = FoldedName(dir) + "\\";
    for (const auto& f : tree.files) {
      if (FoldedName(f.name).compare(0, prefix.size(), prefix) == 0) names->push_back(f.name);
    }
  }

  void DeleteOldFiles(const Tree& from, const std::string& dir, std::vector<ScriptCommand>* work,
                      const std::set<std::string>& moved_from = {}) {
    std::vector<std::string> names;
    FilesBelow(from, dir, &names);
    for (const auto& name : names) {
      if (moved_from.count(FoldedName(name))) continue;
      work->push_back({"DeleteFile", {Text(name), Text(CrcOf(from, name))}});
      ++summary_->deleted;
    }
  }

  bool Fits(const Tree& tree, const std::string& name, uint64_t size, uint64_t limit) {
    if (size <= limit) return true;
    *error_ = "too large for a package: " + NativePath(tree.root, name) + " has " +
              std::to_string(size) + " bytes, the most it can have is " + std::to_string(limit);
    return false;
  }

  bool Fail(const char* what, const Tree& tree, const std::string& name) {
    *error_ = std::string(what) + " " + NativePath(tree.root, name);
    return false;
  }

  // The file's checksum text, read in pieces; empty when it cannot be read.
  std::string CrcOf(const Tree& tree, const std::string& name) {
    std::string path = NativePath(tree.root, name);
    auto it = crc_cache_.find(path);
    if (it != crc_cache_.end()) return it->second;
    std::ifstream in(FsPath(path), std::ios::binary);
    std::vector<char> buf(1 << 20);
    uLong crc = crc32(0L, Z_NULL, 0);
    while (in) {
      in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
      std::streamsize n = in.gcount();
      if (n > 0) crc = crc32(crc, reinterpret_cast<const Bytef*>(buf.data()), static_cast<uInt>(n));
    }
    std::string text = in.eof() && !in.bad() ? ChecksumText(static_cast<uint32_t>(crc)) : "";
    crc_cache_[path] = text;
    return text;
  }

  // The entry name of a payload; empty (with the error set) when it cannot
  // be spooled.
  std::string AddPayload(const char* kind, std::vector<uint8_t> payload) {
    const uint32_t crc = Crc32(payload);
    ArchiveEntry entry;
    entry.data = std::move(payload);
    return AddEntry(kind, crc, std::move(entry));
  }

  // Equal payloads (the same file created in several places or sections) are
  // stored once; the compressor is deterministic, so equal bytes mean equal
  // files. `crc` is the payload's. A spooled entry is the spool's last bytes.
  std::string AddEntry(const char* kind, uint32_t crc, ArchiveEntry entry) {
    auto key = std::make_pair(std::string(kind), crc);
    auto range = payload_index_.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
      const ArchiveEntry& e = (*entries_)[it->second];
      if (!SameEntryBytes(e, entry)) continue;
      if (entry.spool != nullptr) entry.spool->Cut(entry.spool_offset);
      return e.name;
    }
    // Past what memory may hold, a payload waits in the spool.
    if (entry.spool == nullptr && entry.data.size() > options_.held_payloads - held_bytes_) {
      PayloadSpool* spool = Spool();
      const uint64_t at = spool != nullptr ? spool->end() : 0;
      if (spool == nullptr || !spool->Append(entry.data.data(), entry.data.size())) {
        if (spool != nullptr) *error_ = "cannot write the spool file " + spool->path();
        return std::string();
      }
      entry.spool = spool_;
      entry.spool_offset = at;
      entry.spool_size = entry.data.size();
      std::vector<uint8_t>().swap(entry.data);
    } else if (entry.spool == nullptr) {
      held_bytes_ += entry.data.size();
    }
    std::string name = Hex8(++payload_count_) + "." + kind;
    summary_->payload_bytes += entry.size();
    entry.name = name;
    payload_index_.emplace(key, entries_->size());
    entries_->push_back(std::move(entry));
    return name;
  }

  // The spool file, made when it is first needed; null (error set) when it
  // cannot be made.
  PayloadSpool* Spool() {
    if (spool_ == nullptr) {
      const std::string stem =
          options_.spool_stem.empty() ? TemporarySpoolStem() : options_.spool_stem;
      spool_ = PayloadSpool::Create(stem);
      if (spool_ == nullptr) *error_ = "cannot create a spool file " + stem + ".spool";
    }
    return spool_.get();
  }

  // The whole file's payload compressed as a stream into the spool, letting
  // the file's pages go behind it; `entry` stays empty when the payload would
  // be over `limit` bytes. `crc`, when given, gets the file's checksum from
  // the same pass, which then reports progress. False (error set) when it
  // cannot be written.
  bool StreamWhole(const NewFile& file, uint64_t limit, std::string* entry, uint32_t* crc) {
    entry->clear();
    PayloadSpool* spool = Spool();
    if (spool == nullptr) return false;
    const uint64_t start = spool->end();
    uLong payload_crc = crc32(0L, Z_NULL, 0);
    uLong file_crc = crc32(0L, Z_NULL, 0);
    size_t crc_at = 0, released = 0;
    const size_t step = std::max<size_t>(options_.window, 1);
    const StreamedPayload result = StreamPayload(
        file.data(), file.size(),
        [&](const uint8_t* p, size_t n) {
          payload_crc = crc32(payload_crc, p, static_cast<uInt>(n));
          return spool->Append(p, n);
        },
        [&](size_t pos) {
          if (crc != nullptr) {
            file_crc = crc32(file_crc, file.data() + crc_at, static_cast<uInt>(pos - crc_at));
            crc_at = pos;
          }
          if (pos - released < step && pos != file.size()) return;
          file.Release(released = pos);
          // A file sent whole is all the work of its step.
          if (crc != nullptr && options_.progress) {
            progress_.bytes_done = done_bytes_ + pos;
            options_.progress(progress_);
          }
        },
        limit);
    if (result != StreamedPayload::kDone) {
      spool->Cut(start);
      if (result == StreamedPayload::kOverLimit) return true;
      *error_ = "cannot compress into the spool file " + spool->path();
      return false;
    }
    if (crc != nullptr) *crc = static_cast<uint32_t>(file_crc);
    ArchiveEntry e;
    e.spool = spool_;
    e.spool_offset = start;
    e.spool_size = spool->end() - start;
    *entry = AddEntry("FILE", static_cast<uint32_t>(payload_crc), std::move(e));
    return true;
  }

  // A large file sent whole, in blocks (.FILEX) read through a buffer into
  // the spool; `crc` and `size` are the file's, from the same pass.
  bool StreamBlocks(const Tree& to, const std::string& name, std::string* entry, uint32_t* crc,
                    uint64_t* size) {
    std::unique_ptr<File> file = GetFileSystem()->Open(NativePath(to.root, name), OpenMode::kRead);
    const int64_t length = file != nullptr ? file->Size() : -1;
    if (length < 0) return Fail("cannot read", to, name);
    PayloadSpool* spool = Spool();
    if (spool == nullptr) return false;
    const uint64_t start = spool->end();
    uLong payload_crc = crc32(0L, Z_NULL, 0);
    BlockStreamWriter writer(
        [&](const uint8_t* p, size_t n) {
          payload_crc = Crc32Continue(payload_crc, p, n);
          return spool->Append(p, n);
        },
        static_cast<uint64_t>(length));
    std::vector<uint8_t> buffer(kDefaultStreamBlock);
    uLong file_crc = crc32(0L, Z_NULL, 0);
    const uint64_t base = progress_.bytes_done;
    for (uint64_t at = 0; at < static_cast<uint64_t>(length);) {
      const size_t n = static_cast<size_t>(
          std::min<uint64_t>(buffer.size(), static_cast<uint64_t>(length) - at));
      if (file->ReadAt(at, buffer.data(), n) != static_cast<int64_t>(n)) {
        spool->Cut(start);
        return Fail("cannot read", to, name);
      }
      file_crc = Crc32Continue(file_crc, buffer.data(), n);
      if (!writer.Write(buffer.data(), n)) break;
      at += n;
      if (options_.progress) {
        progress_.bytes_done = base + at;
        options_.progress(progress_);
      }
    }
    if (!writer.Finish() || writer.rawSize() != static_cast<uint64_t>(length)) {
      spool->Cut(start);
      *error_ = "cannot compress into the spool file " + spool->path();
      return false;
    }
    *crc = static_cast<uint32_t>(file_crc);
    *size = static_cast<uint64_t>(length);
    // The closing check needs it again: not read a second time.
    crc_cache_[NativePath(to.root, name)] = ChecksumText(*crc);
    ArchiveEntry e;
    e.spool = spool_;
    e.spool_offset = start;
    e.spool_size = spool->end() - start;
    *entry = AddEntry(kBlockFileSuffix + 1, static_cast<uint32_t>(payload_crc), std::move(e));
    return !entry->empty();
  }

  // A changed file at or over large_from: a delta of block matches, or the
  // whole file where too little of it is found in the old one.
  bool LargeChange(const Tree& from, const Tree& to, const TreeChanges::Changed& c,
                   std::string* file_entry, std::string* delta_entry) {
    Begin("patch", c.name);
    FileSystem* fs = GetFileSystem();
    std::unique_ptr<File> old_file = fs->Open(NativePath(from.root, c.old_name), OpenMode::kRead);
    std::unique_ptr<File> new_file = fs->Open(NativePath(to.root, c.name), OpenMode::kRead);
    const int64_t old_size = old_file != nullptr ? old_file->Size() : -1;
    const int64_t new_size = new_file != nullptr ? new_file->Size() : -1;
    if (old_size < 0) return Fail("cannot read", from, c.old_name);
    if (new_size < 0) return Fail("cannot read", to, c.name);
    PayloadSpool* spool = Spool();
    if (spool == nullptr) return false;
    const uint64_t start = spool->end();
    // Its length is known at the end: the header is written again then.
    BlockStreamWriter writer([&](const uint8_t* p, size_t n) { return spool->Append(p, n); }, 0);
    BlockMatchOptions match;
    match.block = options_.match_block;
    const uint64_t base = progress_.bytes_done;
    if (options_.progress) {
      match.progress = [this, base](uint64_t done) {
        progress_.bytes_done = base + done;
        options_.progress(progress_);
      };
    }
    BlockMatchResult found;
    const bool encoded =
        EncodeBlockMatchDelta(
            old_file.get(), static_cast<uint64_t>(old_size), new_file.get(),
            static_cast<uint64_t>(new_size), match,
            [&writer](const uint8_t* p, size_t n) { return writer.Write(p, n); }, &found) &&
        writer.Finish();
    if (!encoded && !found.gaveUp) {
      spool->Cut(start);
      *error_ = "cannot make a delta of " + NativePath(to.root, c.name) +
                " (a file cannot be "
                "read, or the spool file " +
                spool->path() + " written)";
      return false;
    }
    if (encoded && found.copied * 32 >= static_cast<uint64_t>(new_size)) {
      const std::vector<uint8_t> head = BlockStreamHeader(writer.rawSize());
      if (!spool->Overwrite(start, head.data(), head.size())) {
        *error_ = "cannot write the spool file " + spool->path();
        return false;
      }
      // The payload's CRC (equal payloads are stored once) from what the spool holds.
      uLong payload_crc = crc32(0L, Z_NULL, 0);
      std::vector<uint8_t> piece(size_t{1} << 20);
      for (uint64_t at = start; at < spool->end();) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), spool->end() - at));
        if (!spool->Read(at, piece.data(), n)) {
          *error_ = "cannot read the spool file " + spool->path();
          return false;
        }
        payload_crc = Crc32Continue(payload_crc, piece.data(), n);
        at += n;
      }
      ArchiveEntry e;
      e.spool = spool_;
      e.spool_offset = start;
      e.spool_size = spool->end() - start;
      *delta_entry =
          AddEntry(kExtendedDeltaSuffix + 1, static_cast<uint32_t>(payload_crc), std::move(e));
      return !delta_entry->empty();
    }
    spool->Cut(start);
    uint32_t crc = 0;
    uint64_t size = 0;
    return StreamBlocks(to, c.name, file_entry, &crc, &size);
  }

  // A file sent whole: its payload's entry, its checksum text and its size.
  // Large files are mapped and streamed, smaller ones read and compressed in
  // one call. False (error set) on failure.
  bool WholeFile(const Tree& to, const std::string& name, uint64_t listed_size, std::string* entry,
                 std::string* crc, uint64_t* size) {
    const std::string path = NativePath(to.root, name);
    if (listed_size >= options_.large_from) {
      Begin("add", name);
      uint32_t value = 0;
      if (!StreamBlocks(to, name, entry, &value, size)) return false;
      *crc = ChecksumText(value);
      return true;
    }
    if (listed_size >= options_.streamed_from) {
      NewFile file;
      if (!file.Open(path, true, options_.window)) return Fail("cannot read", to, name);
      if (file.size() > kMaxPayloadSize) return Fail("too large for a package:", to, name);
      Begin("add", name);
      uint32_t value = 0;
      if (!StreamWhole(file, UINT64_MAX, entry, &value)) return false;
      *crc = ChecksumText(value);
      *size = file.size();
      return true;
    }
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, &bytes)) return Fail("cannot read", to, name);
    if (bytes.size() > kMaxPayloadSize) return Fail("too large for a package:", to, name);
    Begin("add", name);
    std::vector<uint8_t> payload;
    if (!EncodePayload(bytes.data(), bytes.size(), &payload))
      return Fail("cannot compress", to, name);
    *entry = AddPayload("FILE", std::move(payload));
    *crc = ChecksumText(Crc32(bytes));
    *size = bytes.size();
    return !entry->empty();
  }

  // One file's encoding, done as a job on a work thread; the results wait
  // there until the commands are written in order.
  struct FileWork {
    size_t job = 0;
    std::string error;     // set when the file cannot be read or encoded
    EncodedChange change;  // for a created file, its payload as a kWhole change
    std::string crc_old, crc_new;
    std::unique_ptr<NewFile> new_file;  // kept for a file that is to be streamed whole
    // Read where the encoders ask, never held: a changed file whose old or
    // new version reaches large_from (its delta is kept, however large, for
    // it is bounded), or a created one sent whole in blocks.
    bool large = false;
    std::atomic<uint64_t> passed{0};  // new bytes the encoders have gone past
  };

  ChangeOptions EncoderOptions(FileWork* w) const {
    using Format = MakeOptions::DeltaFormat;
    using Formats = ChangeOptions::Formats;
    ChangeOptions o;
    o.level = options_.delta_level;
    o.formats = options_.delta_format == Format::kBasic       ? Formats::kBasic
                : options_.delta_format == Format::kExtended  ? Formats::kExtended
                : options_.delta_format == Format::kRedeflate ? Formats::kRedeflate
                : options_.delta_format == Format::kPredicted ? Formats::kPredicted
                                                              : Formats::kSmaller;
    o.streamed_from = options_.streamed_from;
    o.threads = threads_;
    o.piece = options_.piece;
    o.large_piece = options_.large_piece;
    o.passed = &w->passed;
    return o;
  }

  // A job per changed and created file, in the order their commands go.
  // A file that cannot go into a package ends the list with its error.
  bool StartJobs(const Tree& from, const Tree& to, const TreeChanges& changes,
                 std::vector<std::shared_ptr<FileWork>>* jobs) {
    auto refused = [&](const std::shared_ptr<FileWork>& w) {
      std::swap(w->error, *error_);
      w->job = threads_->AddJob(0, [] {});
      jobs->push_back(w);
    };
    for (const auto& c : changes.changed_files) {
      auto w = std::make_shared<FileWork>();
      const bool large = c.old_size >= options_.large_from || c.new_size >= options_.large_from;
      if (!large && (!Fits(to, c.name, c.new_size, kMaxPayloadSize) ||
                     !Fits(from, c.old_name, c.old_size, 0xFFFFFFFFull))) {
        refused(w);
        return true;
      }
      w->large = large;
      const std::string old_path = NativePath(from.root, c.old_name);
      const std::string new_path = NativePath(to.root, c.name);
      const bool windowed = c.new_size >= options_.windowed_from;
      const ChangeOptions encoder = EncoderOptions(w.get());
      const uint64_t memory = large ? ChangeWorkMemory(c.old_size, c.new_size, encoder, true)
                                    : c.old_size + (windowed ? 2 * options_.window : c.new_size) +
                                          ChangeWorkMemory(c.old_size, c.new_size, encoder);
      w->job = threads_->AddJob(memory, [this, w, old_path, new_path, windowed, large] {
        if (cancelled_) return;
        if (large) {
          EncodeLarge(w.get(), old_path, new_path);
        } else {
          EncodeChanged(w.get(), old_path, new_path, windowed);
        }
      });
      jobs->push_back(w);
    }
    for (const auto& f : changes.created_files) {
      auto w = std::make_shared<FileWork>();
      if (f.size >= options_.large_from) {
        // Streamed in blocks when its turn comes.
        w->large = true;
        w->job = threads_->AddJob(0, [] {});
        jobs->push_back(w);
        continue;
      }
      if (!Fits(to, f.name, f.size, kMaxPayloadSize)) {
        refused(w);
        return true;
      }
      const std::string path = NativePath(to.root, f.name);
      const bool streamed = f.size >= options_.streamed_from;
      // Read whole and compressed in one call, which needs as much again.
      const uint64_t memory = streamed ? 2 * options_.window : 2 * f.size + (uint64_t{16} << 20);
      const uint64_t size = f.size;
      w->job = threads_->AddJob(memory, [this, w, path, size] {
        if (!cancelled_) EncodeCreated(w.get(), path, size);
      });
      jobs->push_back(w);
    }
    return true;
  }

  void EncodeChanged(FileWork* w, const std::string& old_path, const std::string& new_path,
                     bool windowed) {
    std::vector<uint8_t> old_bytes;
    if (!ReadWholeFile(old_path, &old_bytes)) {
      w->error = "cannot read " + old_path;
      return;
    }
    auto new_file = std::make_unique<NewFile>();
    if (!new_file->Open(new_path, windowed, options_.window)) {
      w->error = "cannot read " + new_path;
      return;
    }
    const uint64_t old_size = old_bytes.size();  // 64-bit even where size_t is not
    if (new_file->size() > kMaxPayloadSize || old_size > 0xFFFFFFFFull) {
      w->error = "too large for a package: " + new_path;
      return;
    }
    w->crc_old = ChecksumText(Crc32(old_bytes));
    const MemoryChangeInput old_input(old_bytes.data(), old_bytes.size());
    if (!EncodeChange(old_input, *new_file, EncoderOptions(w), &w->change)) {
      w->error = "cannot compress " + new_path;
      return;
    }
    std::vector<uint8_t>().swap(old_bytes);
    w->crc_new = ChecksumText(new_file->Crc32());
    if (w->change.stream_whole) w->new_file = std::move(new_file);
  }

  // A changed file whose old version is too large to hold: both are read
  // where the search asks, and mapped for their checksums a window at a time.
  void EncodeLarge(FileWork* w, const std::string& old_path, const std::string& new_path) {
    std::unique_ptr<FileChangeInput> old_input = FileChangeInput::Open(old_path);
    std::unique_ptr<FileChangeInput> new_input = FileChangeInput::Open(new_path);
    auto old_file = std::make_unique<NewFile>(), new_file = std::make_unique<NewFile>();
    if (old_input == nullptr || !old_file->Open(old_path, true, options_.window)) {
      w->error = "cannot read " + old_path;
      return;
    }
    if (new_input == nullptr || !new_file->Open(new_path, true, options_.window)) {
      w->error = "cannot read " + new_path;
      return;
    }
    w->crc_old = ChecksumText(old_file->Crc32());
    old_file.reset();
    if (!EncodeChange(*old_input, *new_input, EncoderOptions(w), &w->change)) {
      w->error = "cannot read " + old_path + " or " + new_path;
      return;
    }
    w->crc_new = ChecksumText(new_file->Crc32());
  }

  // Large files are mapped and streamed when their turn comes, smaller ones
  // read and compressed in one call here.
  void EncodeCreated(FileWork* w, const std::string& path, uint64_t listed_size) {
    if (listed_size >= options_.streamed_from) {
      auto file = std::make_unique<NewFile>();
      if (!file->Open(path, true, options_.window)) {
        w->error = "cannot read " + path;
      } else if (file->size() > kMaxPayloadSize) {
        w->error = "too large for a package: " + path;
      } else {
        w->new_file = std::move(file);
      }
      return;
    }
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, &bytes)) {
      w->error = "cannot read " + path;
      return;
    }
    if (bytes.size() > kMaxPayloadSize) {
      w->error = "too large for a package: " + path;
      return;
    }
    if (!EncodePayload(bytes.data(), bytes.size(), &w->change.bytes)) {
      w->error = "cannot compress " + path;
      return;
    }
    w->crc_new = ChecksumText(Crc32(bytes));
    w->passed = bytes.size();
  }

  // Waits for job `i`, reporting how far the files under way have got.
  FileWork& Take(const std::vector<std::shared_ptr<FileWork>>& jobs, size_t i) {
    threads_->WaitJob(jobs[i]->job, [&] {
      if (!options_.progress) return;
      uint64_t passed = 0;
      for (size_t k = i; k < jobs.size(); ++k) passed += jobs[k]->passed.load();
      progress_.bytes_done = std::min(done_bytes_ + passed, progress_.bytes_total);
      options_.progress(progress_);
    });
    return *jobs[i];
  }

  // Job `i`'s result is written: its memory is free for the jobs after it.
  void Finish(std::vector<std::shared_ptr<FileWork>>& jobs, size_t i, uint64_t size) {
    threads_->ReleaseJob(jobs[i]->job);
    jobs[i].reset();
    Done(size);
  }

  void Begin(const char* what, const std::string& name) {
    if (!options_.progress) return;
    progress_.step = MakeProgress::Step::kEncoding;
    progress_.what = what;
    progress_.name = name;
    options_.progress(progress_);
  }

  // A file is done: its whole size counts, whatever its encoder reported.
  void Done(uint64_t size) {
    summary_->written_bytes += size;
    progress_.bytes_done = done_bytes_ += size;
    ++progress_.files_done;
    if (options_.progress) options_.progress(progress_);
  }

  const MakeOptions& options_;
  std::vector<ArchiveEntry>* entries_;
  MakeSummary* summary_;
  std::string* error_;
  uint32_t payload_count_ = 0;
  MakeProgress progress_;
  uint64_t done_bytes_ = 0;
  std::map<std::string, std::string> crc_cache_;
  std::set<std::string> written_;  // folded names
  std::multimap<std::pair<std::string, uint32_t>, size_t> payload_index_;
  std::shared_ptr<PayloadSpool> spool_;
  uint64_t held_bytes_ = 0;  // payload bytes in memory
  WorkThreads* threads_ = nullptr;
  std::atomic<bool> cancelled_{false};
};

}  // namespace

bool IsUsableVersion(const std::string& version) {
  if (version.empty() || version.size() > kMaxVersionText) return false;
  for (unsigned char c : version) {
    if (c < 0x20 || c == '"' || c == '\\' || c == 0x7F) return false;
  }
  return true;
}

bool IsInstalledVersion(const std::string& version) {
  return version.size() == kInstalledVersion && IsUsableVersion(version);
}

bool BuildUpdate(const MakeOptions& options, std::vector<ArchiveEntry>* entries,
                 MakeSummary* summary, std::string* error) {
  *summary = MakeSummary();
  entries->clear();
  if (options.olds.empty() || options.new_dir.empty()) {
    *error = "an old and a new tree are needed";
    return false;
  }
  bool versioned = options.olds.size() > 1 || !options.olds[0].version.empty();
  if (!versioned && !options.to_version.empty()) {
    *error = "--to-version needs versioned old trees (--old VERSION=DIR)";
    return false;
  }
  if (versioned) {
    for (const auto& o : options.olds) {
      if (!IsUsableVersion(o.version)) {
        *error = o.version.empty() ? "every old tree needs VERSION= when there are several"
                                   : "unusable version text: " + o.version;
        return false;
      }
      if (!IsInstalledVersion(o.version)) {
        *error = "version " + o.version +
                 " can never be installed: the updater reads an installed version as the first 7 "
                 "characters of the program's ProductVersion, so old versions have exactly 7";
        return false;
      }
    }
    if (!IsUsableVersion(options.to_version)) {
      *error = options.to_version.empty() ? "versioned old trees need --to-version"
                                          : "unusable version text: " + options.to_version;
      return false;
    }
  }
  std::vector<uint8_t> strings;
  if (options.strings_path.empty() || !ReadWholeFile(options.strings_path, &strings)) {
    *error = "cannot read the string table " + options.strings_path;
    return false;
  }
  if (!DropByteOrderMark(&strings, options.strings_path, &summary->notes, error)) return false;
  if (!ParsesAsTheUpdaterReadsIt(strings, "Strings.scr", options.strings_path,
                                 &summary->script_messages, error)) {
    *error = "the string table " + *error;
    return false;
  }
  // The updater reads the table's texts, and names in the script, in the
  // code page of its Locale.
  const int code_page = ScriptCodePage(strings);
  if (!ToCodePage(&strings, code_page, options.strings_path, &summary->notes, error)) {
    return false;
  }
  const std::map<std::string, std::string> texts = StringTexts(strings);
  if (texts.empty()) {
    *error = "the string table " + options.strings_path +
             " defines no String (a file with LF line ends reads as one comment after the first "
             "//: Strings.scr needs CR LF)";
    return false;
  }
  const std::vector<std::string> faults = StringTableFaults(texts, !options.terms_path.empty());
  if (!faults.empty()) {
    *error = "the string table " + options.strings_path + " would fail on every machine:";
    for (const auto& f : faults) *error += "\n  " + f;
    return false;
  }
  size_t key_count = 0;
  const StringKey* keys = RuntimeStringKeys(&key_count);
  size_t missing = 0;
  for (size_t i = 0; i < key_count; ++i) missing += texts.count(keys[i].key) ? 0 : 1;
  if (missing > 0) {
    summary->notes.push_back("the string table lacks " + std::to_string(missing) +
                             " of the updater's keys; their texts show as tokens (upkeep-pack "
                             "verify lists them)");
  }
  auto game_version = texts.find("GAME_VERSION");
  const std::string accepted = game_version == texts.end() ? "" : game_version->second;
  if (versioned && !accepted.empty()) {
    std::vector<std::string> items;
    for (size_t at = 0;;) {
      size_t cut = accepted.find(';', at);
      items.push_back(Trimmed(accepted.substr(at, cut - at)));
      if (cut == std::string::npos) break;
      at = cut + 1;
    }
    for (const auto& o : options.olds) {
      if (std::find(items.begin(), items.end(), o.version) == items.end()) {
        summary->notes.push_back("GAME_VERSION \"" + accepted + "\" does not list " + o.version +
                                 ": a game at that version is refused as the wrong version");
      }
    }
  }
  std::vector<uint8_t> terms;
  if (!options.terms_path.empty() && !ReadWholeFile(options.terms_path, &terms)) {
    *error = "cannot read the terms text " + options.terms_path;
    return false;
  }

  std::vector<Tree> trees(options.olds.size() + 1);
  for (size_t i = 0; i < options.olds.size(); ++i) {
    if (!ReadTree(options.olds[i].dir, &trees[i], error)) return false;
  }
  if (!ReadTree(options.new_dir, &trees.back(), error)) return false;
  for (const auto& f : trees.back().files) summary->new_tree_bytes += f.size;
  // The updater deletes bank files once a run begins to change the game: they
  // are neither checked nor patched, and the new tree's are written again at
  // the end of every run.
  std::vector<TreeFile> banks;
  for (size_t i = 0; i < trees.size(); ++i) {
    const bool is_new = i + 1 == trees.size();
    std::vector<TreeFile> left_out;
    LeaveOutRunFiles(&trees[i], true, &left_out);
    for (const auto& file : left_out) {
      const std::string& name = file.name;
      const std::string path = NativePath(trees[i].root, name);
      if (!IsStaleBankName(name)) {
        summary->notes.push_back("left out " + path +
                                 ": the updater removes or overwrites it before the script runs");
      } else if (is_new) {
        banks.push_back(file);
        summary->warnings.push_back(path +
                                    ": the updater deletes bank files when it changes the game; "
                                    "the package writes it again at the end of every run");
      } else {
        summary->warnings.push_back(path +
                                    ": the updater deletes bank files when it changes the game, "
                                    "so the package can neither check nor patch it");
      }
    }
  }

  // What the updater will see of each tree, and whether the package's checks
  // and sections can ever match them.
  auto text_of = [&texts](const char* key) {
    auto it = texts.find(key);
    return it == texts.end() ? std::string() : it->second;
  };
  const std::string lang_version = text_of("LANG_VERSION");
  // SRC_EXE names files of the game folder in the table's code page.
  std::string src_exe = text_of("SRC_EXE");
  if (!AnsiToUtf8Exact(src_exe, &src_exe, code_page)) src_exe = text_of("SRC_EXE");
  std::vector<std::string> mismatches;
  std::vector<size_t> no_program;  // old trees without the program
  std::vector<TreeProgram> programs;
  for (size_t i = 0; i < trees.size(); ++i) {
    const bool is_new = i + 1 == trees.size();
    TreeProgram program = ReadTreeProgram(trees[i].root, src_exe);
    summary->programs.push_back((is_new ? "new " : "old ") + program.Describe());
    programs.push_back(program);
    if (program.name.empty()) {
      if (!is_new) {
        no_program.push_back(i);
      } else {
        summary->warnings.push_back("the new tree " + trees[i].root +
                                    " has none of the SRC_EXE "
                                    "programs (\"" +
                                    src_exe +
                                    "\"): the next update will not "
                                    "find the game");
      }
      continue;
    }
    std::string why;
    if (is_new) {
      if (versioned && !TextEqualsNoCase(program.version, options.to_version)) {
        summary->notes.push_back("--to-version " + options.to_version +
                                 " is not the version the updater sees in the new tree (\"" +
                                 program.version + "\")");
      }
    } else if (!TreePassesChecks(program, accepted, lang_version, &why)) {
      mismatches.push_back(trees[i].root + ": " + why);
    } else if (versioned && !TextEqualsNoCase(program.version, options.olds[i].version)) {
      mismatches.push_back(trees[i].root + ": its section Version(\"" + options.olds[i].version +
                           "\") never runs, the updater sees version \"" + program.version + "\"");
    }
  }
  // Without its program the updater refuses an installation outright.
  if (!no_program.empty()) {
    *error = "SRC_EXE \"" + src_exe + "\" names no program of the old tree" +
             (no_program.size() > 1 ? "s" : "") +
             ": the updater would refuse every such installation as not installed. Set SRC_EXE "
             "in " +
             options.strings_path + " to the game's program, its name relative to the game folder:";
    for (size_t i : no_program) {
      std::string found;
      for (const auto& f : trees[i].files) {
        const std::string& n = f.name;
        if (n.find('\\') == std::string::npos && n.size() > 4 &&
            CompareNames(n.substr(n.size() - 4), ".exe") == 0)
          found += (found.empty() ? "" : ", ") + n;
      }
      *error +=
          "\n  " + trees[i].root + " (its programs: " + (found.empty() ? "none" : found) + ")";
    }
    return false;
  }
  // Any version accepted: only the programs' versions tell old from new.
  if (accepted.empty() && !programs.back().name.empty()) {
    for (size_t i = 0; i + 1 < programs.size(); ++i) {
      if (programs[i].name.empty() ||
          CompareVersionTexts(programs.back().product_version, programs[i].product_version) >= 0)
        continue;
      const std::string what = "the new tree's program is version \"" +
                               programs.back().product_version + "\", older than \"" +
                               programs[i].product_version + "\" in the old tree " + trees[i].root +
                               ": ";
      if (!options.force_downgrade) {
        *error = what +
                 "--old and --new look swapped (--old is the installed release, --new the next "
                 "one); GAME_VERSION is empty, so nothing else would stop the update from taking "
                 "players back (--force-downgrade makes it anyway)";
        return false;
      }
      summary->warnings.push_back(what + "the update takes players back to it");
    }
  }
  if (!mismatches.empty() && !options.allow_any_version) {
    *error = "the update cannot match its old trees (--allow-any-version makes it anyway):";
    for (const auto& m : mismatches) *error += "\n  " + m;
    return false;
  }
  for (const auto& m : mismatches) summary->warnings.push_back(m);
  // Names go into the script in the string table's code page.
  for (const Tree& tree : trees) {
    std::vector<std::string> names = tree.dirs;
    for (const auto& f : tree.files) names.push_back(f.name);
    for (const auto& name : names) {
      std::string converted;
      if (!Utf8ToAnsiExact(name, &converted, code_page)) {
        *error = "name not usable in an update: " + NativePath(tree.root, name) +
                 " cannot be written in code page " + std::to_string(code_page) +
                 " (the string table's Locale)";
        return false;
      }
    }
  }

  std::vector<ArchiveEntry> payloads;
  Builder builder(options, &payloads, summary, error);
  std::vector<TreeChanges> changes(options.olds.size());
  for (size_t i = 0; i < options.olds.size(); ++i) {
    if (options.progress) {
      MakeProgress p;
      p.name = trees[i].root + " with " + trees[i + 1].root;
      options.progress(p);
    }
    if (!DiffTrees(trees[i], trees[i + 1], &changes[i], error)) return false;
    uint64_t bytes = 0;
    for (const auto& c : changes[i].changed_files) bytes += c.new_size;
    for (const auto& f : changes[i].created_files) bytes += f.size;
    builder.AddWork(changes[i].changed_files.size() + changes[i].created_files.size(), bytes);
  }
  for (const auto& bank : banks) builder.AddWork(1, bank.size);
  bool changes_anything = false;
  for (const auto& c : changes) {
    changes_anything = changes_anything || !c.created_dirs.empty() || !c.changed_files.empty() ||
                       !c.renamed_files.empty() || !c.created_files.empty() ||
                       !c.deleted_files.empty() || !c.deleted_dirs.empty() ||
                       !c.replaced_files.empty() || !c.replaced_dirs.empty();
  }
  if (!changes_anything) {
    *error = "the old and new trees hold the same files (" + trees.front().root + ", " +
             trees.back().root +
             "): the update would change nothing; --new is the folder of the new release";
    return false;
  }
  // Files encoded at the same time may hold together what the largest one
  // may hold alone (1.5 times it, and 256 MB), less what the package's
  // payloads keep in memory; a file over that runs alone.
  uint64_t largest = 0;
  for (const auto& c : changes) {
    for (const auto& f : c.changed_files) largest = std::max({largest, f.old_size, f.new_size});
    for (const auto& f : c.created_files) largest = std::max(largest, f.size);
  }
  const uint64_t reserve = options.held_payloads + (uint64_t{32} << 20);
  const uint64_t allowed = largest + largest / 2 + (uint64_t{256} << 20);
  WorkThreads threads(options.threads != 0 ? options.threads : DefaultWorkThreads());
  threads.SetBudget(allowed > reserve ? allowed - reserve : 0);
  builder.SetThreads(&threads);
  // Jobs still waiting when the make stops early do nothing.
  struct CancelOnExit {
    Builder* builder;
    ~CancelOnExit() { builder->Cancel(); }
  } cancel_on_exit{&builder};
  std::vector<ScriptSection> sections(options.olds.size());
  for (size_t i = 0; i < options.olds.size(); ++i) {
    std::string to = !versioned                    ? ""
                     : i + 1 < options.olds.size() ? options.olds[i + 1].version
                                                   : options.to_version;
    if (!builder.Section(trees[i], trees[i + 1], changes[i], options.olds[i].version, to,
                         &sections[i]))
      return false;
  }
  ScriptSection check, bank_section;
  if (!builder.FinalCheck(trees.back(), &check)) return false;
  if (!check.commands.empty()) sections.push_back(std::move(check));
  if (!banks.empty()) {
    if (!builder.Banks(trees.back(), banks, &bank_section)) return false;
    sections.push_back(std::move(bank_section));
  }
  for (auto& section : sections) {
    for (auto& command : section.commands) {
      for (auto& a : command.arguments) {
        if (!a.is_integer) Utf8ToAnsiExact(a.text, &a.text, code_page);
      }
    }
  }
  summary->sections = sections.size();
  std::string script;
  if (!WriteScript(sections, &script, error)) return false;
  std::vector<uint8_t> script_bytes(script.begin(), script.end());
  if (!ParsesAsTheUpdaterReadsIt(script_bytes, "patch.scr", "the written patch.scr",
                                 &summary->script_messages, error)) {
    return false;
  }

  ArchiveEntry e;
  e.name = "patch.scr";
  e.data = std::move(script_bytes);
  entries->push_back(std::move(e));
  e = ArchiveEntry();
  e.name = "Strings.scr";
  e.data = std::move(strings);
  entries->push_back(std::move(e));
  if (!options.terms_path.empty()) {
    e = ArchiveEntry();
    e.name = "umowa.txt";
    e.data = std::move(terms);
    entries->push_back(std::move(e));
  }
  for (auto& p : payloads) entries->push_back(std::move(p));
  return true;
}

namespace {

// A string-table text as UTF-8: kept when it already is, else read as
// Windows-1252.
std::string TextAsUtf8(const std::string& text) {
  const std::u16string wide = Utf8ToUtf16(text);
  if (Utf16ToUtf8(wide) == text) return text;
  return AnsiToUtf8(text, 1252);
}

bool BrandingFor(const MakeOptions& options, const std::string& out_path,
                 const std::map<std::string, std::string>& texts, StubBranding* branding,
                 std::vector<std::string>* notes, std::string* error) {
  const StubBrandingOptions& o = options.branding;
  auto text = [&texts](const char* key) {
    auto it = texts.find(key);
    return it == texts.end() ? std::string() : TextAsUtf8(it->second);
  };
  const std::string program = text("PROGRAM_NAME");
  const std::string patch_version = text("PATCH_VERSION");
  const std::string product = !o.product.empty() ? o.product : program;
  const std::string description = !o.description.empty() ? o.description
                                  : program.empty()      ? std::string()
                                                         : program + " update";
  const std::string file_version = !o.file_version.empty() ? o.file_version : patch_version;
  const std::string product_version =
      !o.product_version.empty() ? o.product_version : patch_version;
  std::string original = o.original_filename;
  if (original.empty()) {
    original = FsText(FsPath(out_path).filename());
    // "Game-1.1-unsigned.exe" becomes "Game-1.1.exe" when signed: the
    // resource names the file players get.
    const size_t dot = original.rfind('.');
    const std::string stem = original.substr(0, dot);
    static const char* const kMarks[] = {"-unsigned", "_unsigned", ".unsigned"};
    for (const char* mark : kMarks) {
      const size_t n = std::string(mark).size();
      if (stem.size() > n && CompareNames(stem.substr(stem.size() - n), mark) == 0) {
        const std::string shipped = stem.substr(0, stem.size() - n) +
                                    (dot == std::string::npos ? "" : original.substr(dot));
        notes->push_back("OriginalFilename is " + shipped +
                         ", the name the update has once "
                         "signed (--original-filename sets another)");
        original = shipped;
        break;
      }
    }
  }
  auto add = [branding](const char* name, const std::string& value) {
    if (!value.empty()) branding->strings.push_back({name, value});
  };
  add("CompanyName", o.company);
  add("FileDescription", description);
  add("FileVersion", file_version);
  add("LegalCopyright", o.copyright);
  add("OriginalFilename", original);
  add("ProductName", product);
  add("ProductVersion", product_version);
  ParseVersionNumbers(file_version, branding->file_version);
  ParseVersionNumbers(product_version, branding->product_version);
  if (!o.icon_path.empty() && !ReadWholeFile(o.icon_path, &branding->icon)) {
    *error = "cannot read the icon " + o.icon_path;
    return false;
  }
  return true;
}

// The stub as it goes in front of the package: unsigned and branded.
bool PrepareStub(const MakeOptions& options, const std::string& out_path,
                 const std::vector<ArchiveEntry>& entries, std::vector<uint8_t>* stub,
                 MakeSummary* summary, std::string* error) {
  if (!ReadWholeFile(options.stub_path, stub)) {
    *error = "cannot read stub " + options.stub_path;
    return false;
  }
  if (!IsPeImage(*stub)) {
    if (options.branding.AnyGiven()) {
      *error = "the stub " + options.stub_path + " is no Windows program: it cannot be branded";
      return false;
    }
    return true;
  }
  bool was_signed = false;
  if (!StripSignature(stub, &was_signed, error)) return false;
  if (was_signed) {
    summary->warnings.push_back("the stub " + options.stub_path +
                                " is signed; a package after it would break the signature, so "
                                "it was removed: sign the finished update, not the stub");
  }
  std::map<std::string, std::string> texts;
  for (const ArchiveEntry& e : entries) {
    if (e.name == "Strings.scr") texts = StringTexts(e.data);
  }
  StubBranding branding;
  if (!BrandingFor(options, out_path, texts, &branding, &summary->notes, error)) return false;
  std::vector<uint8_t> branded = *stub;
  std::string why;
  if (!BrandStub(&branded, branding, &why)) {
    if (options.branding.AnyGiven()) {
      *error = "cannot brand the stub " + options.stub_path + ": " + why;
      return false;
    }
    summary->notes.push_back("the stub's version resource and icon were left as they are: " + why);
    return true;
  }
  stub->swap(branded);
  return true;
}

}  // namespace

bool MakePackage(const MakeOptions& options, const std::string& out_path, MakeSummary* summary,
                 std::string* error) {
  std::vector<ArchiveEntry> entries;
  MakeOptions beside = options;
  if (beside.spool_stem.empty()) beside.spool_stem = out_path;  // on the disk the package needs
  if (!BuildUpdate(beside, &entries, summary, error)) return false;
  std::vector<uint8_t> stub;
  if (!options.stub_path.empty() &&
      !PrepareStub(options, out_path, entries, &stub, summary, error)) {
    return false;
  }
  if (options.progress) {
    MakeProgress p;
    p.step = MakeProgress::Step::kWriting;
    p.name = out_path;
    options.progress(p);
  }
  ArchiveOptions archive;
  archive.end_alignment = 8;
  archive.pe_checksum = true;
  archive.manifest = true;
  archive.volume_size = options.volume_size;
  std::vector<std::string> volumes;
  if (!WritePackage(out_path, stub, entries, error, archive, &volumes)) return false;
  summary->volumes = volumes.size();
  if (!options.stub_path.empty()) {
    // A runnable updater: keep it executable like the stub it came from.
    std::error_code ec;
    std::filesystem::permissions(FsPath(out_path),
                                 std::filesystem::perms::owner_exec |
                                     std::filesystem::perms::group_exec |
                                     std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add, ec);
  }
  return true;
}

}  // namespace upkeep
