#include "engine/run_journal.h"

#include <cstdio>
#include <cstdlib>

#include "engine/checksum.h"
#include "platform/text.h"
#include "script/script_reader.h"

namespace upkeep {

namespace {

const char kJournalName[] = "upkeep.journal";
const char kMagic[] = "upkeep-journal";
const char kFormat[] = "1";
const char kTemporarySuffix[] = ".~up";
// Far beyond any real script's records; a larger file is read up to here.
constexpr int64_t kMaxJournalBytes = 64 << 20;

// Fields never hold the separators.
std::string Field(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return out;
}

std::string Hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

uint32_t TextCrc(const std::string& text) {
  return ComputeBufferCrc(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// The fields of one line whose checksum holds; empty for any other line.
std::vector<std::string> CheckedFields(const std::string& line) {
  const size_t tab = line.rfind('\t');
  if (tab == std::string::npos || line.size() - tab != 9) return {};
  const std::string body = line.substr(0, tab);
  if (Hex8(TextCrc(body)) != line.substr(tab + 1)) return {};
  std::vector<std::string> fields;
  size_t at = 0;
  for (;;) {
    const size_t cut = body.find('\t', at);
    fields.push_back(body.substr(at, cut - at));
    if (cut == std::string::npos) break;
    at = cut + 1;
  }
  return fields;
}

bool ParseOrdinal(const std::string& text, int64_t* out) {
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

bool ParseHex8(const std::string& text, uint32_t* out) {
  if (text.size() != 8) return false;
  uint32_t v = 0;
  for (char c : text) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool EndsWithNoCase(const std::string& text, const char* suffix) {
  const std::string s = suffix;
  return text.size() >= s.size() &&
         CompareNoCase(text.substr(text.size() - s.size()).c_str(), s.c_str()) == 0;
}

// A temporary name of the journal that is this package's to delete: new
// content beside a file below `folder` (which ends with a separator), a
// plain file reached through no link. A journal is a file anyone may edit,
// so nothing else is deleted for it.
bool OwnTemporary(const std::string& folder, const std::string& name) {
  if (!EndsWithNoCase(name, kTemporarySuffix) || name.size() <= folder.size() ||
      CompareNoCase(name.substr(0, folder.size()).c_str(), folder.c_str()) != 0 ||
      name.find("..") != std::string::npos) {
    return false;
  }
  for (size_t at = name.find_first_of("\\/", folder.size()); at != std::string::npos;
       at = name.find_first_of("\\/", at + 1)) {
    if (IsLink(name.substr(0, at))) return false;
  }
  const uint32_t a = GetFileSystem()->GetLinkAttributes(name);
  return a != kInvalidAttributes && (a & (kAttrReparsePoint | kAttrDirectory)) == 0;
}

}  // namespace

bool PackageScriptCrc(const PackageArchive* package, uint32_t* crc) {
  std::unique_ptr<ScriptReader> reader = LoadScript(package, "patch.scr");
  if (reader == nullptr || reader->readFailed || reader->text.empty()) return false;
  *crc = ComputeBufferCrc(reader->text.data(), reader->text.size());
  return true;
}

RunJournal::~RunJournal() { Close(); }

std::string RunJournal::PathIn(const std::string& gameDir) {
  if (!gameDir.empty() && gameDir.back() != '\\') return gameDir + "\\" + kJournalName;
  return gameDir + kJournalName;
}

void RunJournal::Reset() {
  Close();
  path_.clear();
  start_ = JournalStart();
  done_.clear();
  begun_.clear();
  temporaries_.clear();
  resumed_ = change_noted_ = changed_before_ = failed_ = ends_torn_ = false;
  text_.clear();
}

bool RunJournal::Load(const std::string& path) {
  Reset();
  // A link in its place was planted: what it leads to is no record of ours.
  if (IsLink(path)) return false;
  std::unique_ptr<File> in = GetFileSystem()->Open(path, OpenMode::kRead);
  if (in == nullptr) return false;
  int64_t size = in->Size();
  if (size <= 0) return false;
  if (size > kMaxJournalBytes) size = kMaxJournalBytes;
  std::string bytes(static_cast<size_t>(size), '\0');
  int64_t got = 0;
  while (got < size) {
    int64_t n = in->Read(&bytes[static_cast<size_t>(got)], static_cast<size_t>(size - got));
    if (n <= 0) break;
    got += n;
  }
  bytes.resize(static_cast<size_t>(got));
  in.reset();

  bool first = true;
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t end = bytes.find('\n', at);
    if (end == std::string::npos) break;  // torn: written only in part
    const std::vector<std::string> f = CheckedFields(bytes.substr(at, end - at));
    at = end + 1;
    if (first) {
      if (f.size() != 7 || f[0] != kMagic || f[1] != kFormat ||
          !ParseHex8(f[2], &start_.packageCrc)) {
        return false;
      }
      start_.version = f[3];
      start_.language = f[4];
      start_.programName = f[5];
      start_.patchVersion = f[6];
      first = false;
      continue;
    }
    int64_t ordinal = 0;
    if (f.size() == 1 && f[0] == "change") {
      change_noted_ = true;
    } else if (f.size() == 3 && f[0] == "temp" && ParseOrdinal(f[1], &ordinal)) {
      temporaries_.push_back(f[2]);
      begun_.insert(ordinal);
    } else if (f.size() == 2 && f[0] == "done" && ParseOrdinal(f[1], &ordinal)) {
      done_.insert(ordinal);
    } else if (f.size() == 2 && f[0] == "end") {
      failed_ = true;
    } else if (f.size() == 1 && f[0] == "retry") {
      failed_ = false;
    }
  }
  if (first) return false;
  text_ = std::move(bytes);
  ends_torn_ = !text_.empty() && text_.back() != '\n';
  path_ = path;
  resumed_ = true;
  changed_before_ = change_noted_;
  return true;
}

bool RunJournal::Begin(const std::string& path, const JournalStart& start) {
  Reset();
  path_ = path;
  start_ = start;
  file_ = CreateNewFile(path);
  if (file_ == nullptr) return false;
  return Append(std::string(kMagic) + "\t" + kFormat + "\t" + Hex8(start.packageCrc) + "\t" +
                    Field(start.version) + "\t" + Field(start.language) + "\t" +
                    Field(start.programName) + "\t" + Field(start.patchVersion),
                true);
}

bool RunJournal::Continue() {
  if (!resumed_) return false;
  FileSystem* fs = GetFileSystem();
  const std::string folder = FolderOf(path_);
  for (const std::string& t : temporaries_) {
    if (!OwnTemporary(folder, t)) continue;
    fs->SetAttributes(t, kAttrNormal);
    fs->Delete(t);
  }
  fs->SetAttributes(path_, kAttrNormal);
  file_ = fs->Open(path_, OpenMode::kReadWrite);
  if (file_ == nullptr || file_->Seek(0, SeekOrigin::kEnd) < 0) {
    file_.reset();
    return false;
  }
  // A torn tail is closed off, so the next record starts a line of its own.
  if (ends_torn_) {
    if (file_->Write("\n", 1) != 1) return false;
    ends_torn_ = false;
  }
  // On the disk before anything changes: cut short from here on, the update
  // holds other packages back again.
  if (failed_) {
    if (!Append("retry", true)) return false;
    failed_ = false;
  }
  return true;
}

bool RunJournal::Restart() {
  const JournalStart start = start_;
  const std::string path = path_;
  const bool before = changed_before_;
  if (!Begin(path, start)) return false;
  changed_before_ = before;
  return true;
}

bool RunJournal::Append(const std::string& fields, bool durable) {
  if (file_ == nullptr) return false;
  const std::string line = fields + "\t" + Hex8(TextCrc(fields)) + "\n";
  if (file_->Write(line.data(), line.size()) != static_cast<int64_t>(line.size())) return false;
  return !durable || file_->Flush();
}

bool RunJournal::NoteChange() {
  if (change_noted_) return true;
  // A journal whose name a power cut loses would leave the changes unfinished.
  std::string folder = FolderOf(path_);
  if (folder.size() > 1 && !(folder.size() == 3 && folder[1] == ':')) folder.pop_back();
  if (!folder.empty() && !GetFileSystem()->FlushDir(folder)) return false;
  if (!Append("change", true)) return false;
  change_noted_ = true;
  return true;
}

bool RunJournal::NoteTemporary(int64_t ordinal, const std::string& path) {
  return Append("temp\t" + std::to_string(ordinal) + "\t" + Field(path), false);
}

bool RunJournal::NoteDone(const std::vector<int64_t>& ordinals) {
  if (file_ == nullptr) return false;
  std::string lines;
  for (int64_t ordinal : ordinals) {
    const std::string fields = "done\t" + std::to_string(ordinal);
    lines += fields + "\t" + Hex8(TextCrc(fields)) + "\n";
  }
  if (file_->Write(lines.data(), lines.size()) != static_cast<int64_t>(lines.size()) ||
      !file_->Flush()) {
    return false;
  }
  done_.insert(ordinals.begin(), ordinals.end());
  return true;
}

bool RunJournal::NoteEnd(int32_t code) {
  if (!Append("end\t" + std::to_string(code), true)) return false;
  failed_ = true;
  return true;
}

void RunJournal::Close() { file_.reset(); }

bool RunJournal::Restore(const std::string& text) {
  Close();
  std::unique_ptr<File> out = CreateNewFile(path_);
  return out != nullptr &&
         out->Write(text.data(), text.size()) == static_cast<int64_t>(text.size()) && out->Flush();
}

bool RunJournal::Remove() {
  Close();
  if (path_.empty()) return true;
  FileSystem* fs = GetFileSystem();
  if (fs->GetAttributes(path_) == kInvalidAttributes) return true;
  fs->SetAttributes(path_, kAttrNormal);
  return fs->Delete(path_);
}

}  // namespace upkeep
