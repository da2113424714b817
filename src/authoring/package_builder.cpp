#include "authoring/package_builder.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "authoring/block_stream_writer.h"
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
class NewFile {
 public:
  bool Open(const std::string& path, bool windowed, size_t window) {
    if (windowed) {
      view_ = GetFileSystem()->MapFileForWalk(path);
      if (view_ != nullptr && view_->size() <= SIZE_MAX &&
          (view_->data() != nullptr || view_->size() == 0)) {
        data_ = view_->data();
        size_ = static_cast<size_t>(view_->size());
        window_.step = window;
        window_.passed = [this](size_t pos) { view_->Release(0, pos); };
        return true;
      }
      view_.reset();  // not mappable here: read it whole
    }
    if (!ReadWholeFile(path, &bytes_)) return false;
    data_ = bytes_.data();
    size_ = bytes_.size();
    return true;
  }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  const NewBytesWindow* window() const { return view_ != nullptr ? &window_ : nullptr; }
  // Lets the pages below `pos` go, where the file is mapped.
  void Release(size_t pos) const {
    if (view_ != nullptr) view_->Release(0, pos);
  }

  uint32_t Crc32() const {
    uLong crc = crc32(0L, Z_NULL, 0);
    const size_t part = view_ != nullptr ? std::max<size_t>(window_.step, 1) : size_t{1} << 30;
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
  NewBytesWindow window_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Whether the payload of `data` may come out smaller than `than` bytes.
// Deflate's fastest level gives seldom more than a few tenths over its best
// one, at a tenth of the time: where even it is well under twice `than`, the
// best level is run; where it is over, the best level cannot get below.
bool MayDeflateBelow(const uint8_t* data, size_t size, size_t than) {
#ifndef UPKEEP_HAVE_LIBDEFLATE
  return true;  // zlib has one level here: a trial would cost as much as the real one
#endif
  constexpr size_t kAlwaysBelow = size_t{1} << 20;  // cheap enough to just try
  if (size < kAlwaysBelow) return true;
  std::vector<uint8_t> fast;
  // Pieces first, which stop the trial early where their sizes alone pass the
  // mark (a big compressed file, whose trial cost as much as all the rest of
  // its delta): deflating the whole could save over them at most what matches
  // across a piece's start (its first window) and a block's headers take.
  constexpr size_t kPiece = size_t{1} << 20;
  constexpr size_t kPieceSlack = 32 * 1024 + 1024;
  if (size >= 2 * kPiece) {
    size_t pieces = 0, slack = 0;
    for (size_t at = 0; at < size; at += kPiece) {
      if (!EncodePayload(data + at, std::min(kPiece, size - at), &fast, 1)) break;
      pieces += fast.size();
      slack += kPieceSlack;
      if (pieces >= 2 * than + slack) return false;
    }
  }
  return !EncodePayload(data, size, &fast, 1) || fast.size() < 2 * than;
}

// The new bytes a basic delta takes from the old file.
uint64_t CopiedBytes(const std::vector<uint8_t>& delta) {
  DeltaReader reader(delta.data(), delta.size());
  DeltaRecord record;
  uint64_t copied = 0;
  while (reader.Next(&record) == DeltaReader::kRecord) copied += record.isCopy ? record.length : 0;
  return copied;
}

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
      Done(c.new_size);
    };
    for (const auto& c : changes.changed_files) {
      const bool moved = CompareNames(c.name, c.old_name) != 0;
      if (moved) moved_from.insert(FoldedName(c.old_name));
      if (c.old_size >= options_.large_from || c.new_size >= options_.large_from) {
        std::string file_entry, delta_entry;
        if (!LargeChange(from, to, c, &file_entry, &delta_entry)) return false;
        const std::string crc_old = CrcOf(from, c.old_name), crc_new = CrcOf(to, c.name);
        if (crc_old.empty()) return Fail("cannot read", from, c.old_name);
        if (crc_new.empty()) return Fail("cannot read", to, c.name);
        changed(c, moved, file_entry, delta_entry, crc_old, crc_new);
        continue;
      }
      std::vector<uint8_t> old_bytes;
      if (!ReadWholeFile(NativePath(from.root, c.old_name), &old_bytes))
        return Fail("cannot read", from, c.old_name);
      NewFile new_bytes;
      if (!new_bytes.Open(NativePath(to.root, c.name), c.new_size >= options_.windowed_from,
                          options_.window))
        return Fail("cannot read", to, c.name);
      const uint64_t old_size = old_bytes.size();  // 64-bit even where size_t is not
      const bool streamed = new_bytes.size() >= options_.streamed_from;
      if (new_bytes.size() > kMaxPayloadSize || old_size > 0xFFFFFFFFull)
        return Fail("too large for a package:", to, c.name);
      const std::string crc_old = ChecksumText(Crc32(old_bytes));
      using Format = MakeOptions::DeltaFormat;
      const bool try_extended = options_.delta_format != Format::kBasic;
      const bool forced_extended =
          options_.delta_format == Format::kExtended || options_.delta_format == Format::kRedeflate;
      Begin("patch", c.name);
      std::vector<uint8_t> delta_payload;
      std::vector<DeltaMatch> matches;
      bool delta_ok = false;
      const char* delta_kind = "DELTA";
      std::vector<uint8_t> redeflated;  // the deflated-view delta, when it waits for the others
      // Files with deflate streams: the delta between their inflated views,
      // kept when it is smaller than every other form.
      const auto redeflate = [&]() {
        if (options_.progress && new_bytes.size() >= (4u << 20)) {
          progress_.what = "patch (deflated view)";
          options_.progress(progress_);
        }
        std::vector<uint8_t> stored;
        if (EncodeRedeflateDelta(old_bytes.data(), old_bytes.size(), new_bytes.data(),
                                 new_bytes.size(), &stored) &&
            stored.size() <= kMaxPayloadSize &&
            (!delta_ok || stored.size() < delta_payload.size())) {
          delta_payload.swap(stored);
          delta_ok = true;
          delta_kind = kRedeflateDeltaSuffix + 1;
        }
      };
      // Below the size where the extended form grows the basic form's copies it
      // needs none of them, so it goes first; the basic form is then tried only
      // when the extended delta is not far smaller than the file (compressed
      // files) or is tiny (a few bytes changed, where the extended form's
      // stream headers weigh): on everything else measured it lost by a wide
      // margin.
      constexpr size_t kBasicMayWinBelow = 4096;
      const bool extended_first = options_.delta_format == Format::kSmaller &&
                                  (old_size < kExtendedSeedsFrom ||
                                   ExtendedCopiesLookShort(old_bytes.data(), old_bytes.size(),
                                                           new_bytes.data(), new_bytes.size()));
      std::vector<uint8_t> basic_delta;
      const auto basic = [&](unsigned share) {
        DeltaOptions delta_options;
        delta_options.level = options_.delta_level;
        // The extended form grows its copies from these instead of searching again.
        if (try_extended && !extended_first) delta_options.matches = &matches;
        delta_options.window = new_bytes.window();
        if (options_.progress) {
          // The basic form reports how far into the new file it is; when the
          // extended form follows, that is the first half of the work.
          const uint64_t base = progress_.bytes_done;
          delta_options.progress = [this, base, share](size_t done) {
            progress_.bytes_done = base + done / share;
            options_.progress(progress_);
          };
        }
        basic_delta = EncodeDelta(old_bytes.data(), old_bytes.size(), new_bytes.data(),
                                  new_bytes.size(), delta_options);
      };
      // Kept when no smaller delta is at hand; on a tie the basic form wins.
      const auto basic_payload = [&]() {
        std::vector<uint8_t> payload;
        if (basic_delta.size() <= kMaxPayloadSize &&
            (!delta_ok ||
             MayDeflateBelow(basic_delta.data(), basic_delta.size(), delta_payload.size() + 1)) &&
            EncodePayload(basic_delta.data(), basic_delta.size(), &payload) &&
            (!delta_ok || payload.size() <= delta_payload.size())) {
          delta_payload.swap(payload);
          delta_ok = true;
          delta_kind = "DELTA";
        }
        std::vector<uint8_t>().swap(basic_delta);
      };
      const auto extended = [&]() {
        // The extended form tells nothing while it works: a big file shows
        // that it is at this part, half done when the basic form ran first.
        if (options_.progress && new_bytes.size() >= (4u << 20)) {
          progress_.what = "patch (extended form)";
          progress_.bytes_done = done_bytes_ + (delta_ok ? new_bytes.size() / 2 : 0);
          options_.progress(progress_);
        }
        std::vector<uint8_t> delta, payload;
        const bool seeded = options_.delta_format == Format::kSmaller && !extended_first;
        if (EncodeExtendedDelta(old_bytes.data(), old_bytes.size(), new_bytes.data(),
                                new_bytes.size(), &delta, seeded ? &matches : nullptr,
                                new_bytes.window()) &&
            delta.size() <= kMaxPayloadSize && PackExtendedDelta(delta, &payload) &&
            (!delta_ok || payload.size() < delta_payload.size())) {
          delta_payload.swap(payload);
          delta_ok = true;
          delta_kind = kExtendedDeltaSuffix + 1;
        }
      };
      // Forced, the deflated-view form goes alone where it applies. Left to
      // choose, it goes first too: where it applies (a changed stream it can
      // make again) the other forms carry that stream's deflate bytes nearly
      // whole, so they are tried only when its delta is not far smaller than
      // the file, as for the extended form below.
      if (options_.delta_format == Format::kRedeflate) redeflate();
      const bool redeflate_first = options_.delta_format == Format::kSmaller;
      if (redeflate_first) {
        redeflate();
        if (delta_ok && delta_payload.size() * 4 > new_bytes.size()) {
          redeflated.swap(delta_payload);
          delta_ok = false;
        }
      }
      if (!delta_ok && extended_first) {
        extended();
        if (!delta_ok || delta_payload.size() * 4 > new_bytes.size() ||
            delta_payload.size() < kBasicMayWinBelow) {
          basic(1);
          basic_payload();
        }
      } else if (!delta_ok) {
        // The basic form's records go first (the extended form may grow its
        // copies); their payload is made once it is known what it has to beat.
        if (!forced_extended) basic(try_extended ? 2 : 1);
        // A large file rewritten whole: with next to nothing copied, a delta
        // cannot get much below the file itself, and the other forms would
        // only cost memory (the extended search sorts the old file) and time.
        if (!forced_extended && streamed && CopiedBytes(basic_delta) * 32 < new_bytes.size()) {
          std::vector<uint8_t>().swap(basic_delta);
        } else {
          if (try_extended) extended();
          if (!forced_extended) basic_payload();
        }
      }
      std::vector<DeltaMatch>().swap(matches);
      if (!redeflated.empty() && (!delta_ok || redeflated.size() < delta_payload.size())) {
        delta_payload.swap(redeflated);
        delta_ok = true;
        delta_kind = kRedeflateDeltaSuffix + 1;
      }
      const std::string crc_new = ChecksumText(new_bytes.Crc32());
      std::string file_entry;  // set when the whole file wins; ties go to it
      // The whole file can only win when the delta is not much smaller than it.
      if (streamed && (!delta_ok || delta_payload.size() * 20 >= new_bytes.size())) {
        std::vector<uint8_t>().swap(old_bytes);  // not needed any more
        // The stream stops as soon as it is over the delta.
        if (!StreamWhole(new_bytes, delta_ok ? delta_payload.size() : UINT64_MAX, &file_entry,
                         nullptr))
          return false;
      } else if (!streamed && (!delta_ok || (delta_payload.size() * 20 >= new_bytes.size() &&
                                             MayDeflateBelow(new_bytes.data(), new_bytes.size(),
                                                             delta_payload.size() + 1)))) {
        std::vector<uint8_t>().swap(old_bytes);
        std::vector<uint8_t> file_payload;
        if (!EncodePayload(new_bytes.data(), new_bytes.size(), &file_payload))
          return Fail("cannot compress", to, c.name);
        if (!delta_ok || file_payload.size() <= delta_payload.size()) {
          file_entry = AddPayload("FILE", std::move(file_payload));
          if (file_entry.empty()) return false;
        }
      }
      std::string delta_entry;
      if (file_entry.empty()) {
        delta_entry = AddPayload(delta_kind, std::move(delta_payload));
        if (delta_entry.empty()) return false;
      }
      changed(c, moved, file_entry, delta_entry, crc_old, crc_new);
    }
    for (const auto& f : changes.created_files) {
      std::string entry, crc;
      uint64_t size = 0;
      if (!WholeFile(to, f.name, f.size, &entry, &crc, &size)) return false;
      work.push_back({"CreateFile", {Text(f.name), Text(entry), Text(crc)}});
      Wrote(f.name);
      ++summary_->created;
      need(static_cast<int64_t>(OnDisk(f.size)));
      extra += static_cast<int64_t>(OnDisk(f.size));
      Done(f.size);
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
