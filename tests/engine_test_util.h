// Whole-update fixtures for the engine tests: a game directory, a package
// built with the authoring writers, a run of the update script against it,
// and the exact bytes of the log it wrote.
#ifndef UPKEEP_TESTS_ENGINE_TEST_UTIL_H_
#define UPKEEP_TESTS_ENGINE_TEST_UTIL_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "authoring/archive_writer.h"
#include "engine/progress.h"
#include "engine/run_journal.h"
#include "engine/shortcut_hook.h"
#include "test_util.h"

namespace upkeep {
namespace test {

struct ProgressEvent {
  int32_t overall;
  int32_t step;
  std::string file;
  std::string text;
};

// Collects the progress calls made while it lives (one at a time).
class ProgressRecorder {
 public:
  ProgressRecorder();
  ~ProgressRecorder();
  ProgressRecorder(const ProgressRecorder&) = delete;
  ProgressRecorder& operator=(const ProgressRecorder&) = delete;
  static ProgressCallback callback();
  // Events whose text is `text`.
  std::vector<ProgressEvent> WithText(const std::string& text) const;
  std::vector<ProgressEvent> events;
};

// "%08X" of the CRC-32 of the bytes.
std::string CrcText(const std::vector<uint8_t>& bytes);
// LF to CR LF, as the text-mode log stores it.
std::string Crlf(const std::string& text);
// A script string literal for `text` (backslashes and quotes escaped).
std::string Lit(const std::string& text);

// Declarations of every command of the update script.
extern const char kPatchScriptPrelude[];

// Registers `handler` (or none) for every shortcut command while it lives,
// and puts back whatever was registered before.
class ShortcutHandlersGuard {
 public:
  explicit ShortcutHandlersGuard(ShortcutHandler handler);
  ~ShortcutHandlersGuard();
  ShortcutHandlersGuard(const ShortcutHandlersGuard&) = delete;
  ShortcutHandlersGuard& operator=(const ShortcutHandlersGuard&) = delete;

 private:
  static constexpr int kCount = static_cast<int>(CommandId::kCount);
  ShortcutHandler saved_[kCount];
};

struct RunOptions {
  std::string currentVersion = "1.0.0";
  bool skipSpaceCheck = false;
  bool skipShortcuts = false;
  bool withLog = true;  // the driver's log; false lets the runner open its own
  bool withPrelude = true;
  // Mounted before the run, as start-up does, and unmounted after it.
  bool mounted = false;
  ProgressCallback progress;
  RunJournal* journal = nullptr;
  bool* changed = nullptr;
  size_t readWindow = kDefaultReadWindow;
  // The package as make writes it: a manifest, and payloads past
  // `volumeSize` (when not 0) in data volumes beside it.
  bool manifest = false;
  uint64_t volumeSize = 0;
  // Called with the package's path once it is written, before the run.
  std::function<void(const std::string&)> damage;
  std::function<bool()> beforeFirstChange;
  std::function<bool()> stopRequested;
};

class UpdateFixture {
 public:
  UpdateFixture();
  ~UpdateFixture();

  // The game directory as the engine sees it (source and target root).
  const std::string& game() const { return game_.path(); }
  // root + '\' + relative, as the engine joins it (what log lines show).
  std::string EnginePath(const std::string& relative) const;
  // The native path of a file in the game directory.
  std::string Native(const std::string& relative) const { return game_.Join(relative); }

  void Write(const std::string& relative, const std::vector<uint8_t>& bytes);
  void WriteText(const std::string& relative, const std::string& text);
  std::vector<uint8_t> Read(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  void MakeDir(const std::string& relative);
  void SetReadOnly(const std::string& relative, bool readOnly);
  bool IsReadOnly(const std::string& relative) const;

  // Package content besides "patch.scr".
  void AddPayload(const std::string& entry, const std::vector<uint8_t>& data);
  void AddDelta(const std::string& entry, const std::vector<uint8_t>& oldData,
                const std::vector<uint8_t>& newData);
  // A payload whose decoded bytes are exactly `decoded` (hand-made deltas).
  void AddDecodedDelta(const std::string& entry, const std::vector<uint8_t>& decoded);
  void AddRawEntry(const std::string& name, const std::vector<uint8_t>& bytes);

  // Writes the package with `script` (after the prelude) as "patch.scr" and
  // runs it with the game directory as both roots; fills log().
  int32_t Run(const std::string& script, const RunOptions& options = RunOptions());
  // The same with another source root.
  int32_t RunWithSource(const std::string& script, const std::string& sourceRoot,
                        const RunOptions& options = RunOptions());

  const std::string& log() const { return log_; }
  // The open packages after the last run, as they were before it (the same
  // records, in the same order).
  bool tableKept() const { return table_kept_; }
  const std::string& packagePath() const { return package_path_; }

 private:
  TempDir game_;
  TempDir package_dir_;
  std::vector<ArchiveEntry> entries_;
  std::string package_path_;
  std::string log_;
  bool table_kept_ = false;
};

}  // namespace test
}  // namespace upkeep

#include <set>

#include "platform/file_system.h"

namespace upkeep {
namespace test {

// A file system that breaks on request, installed while it lives.
class FaultyFileSystem : public FileSystemWrapper {
 public:
  FaultyFileSystem();
  ~FaultyFileSystem() override;

  // Files opened for writing whose path contains this text accept `writeBudget`
  // bytes in total, then every write fails (a full disk, a failing device).
  std::string failWritesTo;
  int64_t writeBudget = 0;
  // Past the budget, writes are reported whole while nothing more is stored,
  // as a device that loses data without saying so.
  bool hideWriteFailures = false;
  // Moves (replacements too) whose source or destination contains this text are refused.
  std::string refuseMovesWith;
  // Moves allowed before every further move is refused; negative: no limit.
  int movesAllowed = -1;
  // Opens for writing whose path contains this text fail.
  std::string refuseCreate;
  // Deletes of paths containing this text are refused.
  std::string refuseDeleteWith;
  // Every file opens but none can be mapped.
  bool failMaps = false;
  // Opens for reading whose path contains this text fail.
  std::string refuseReadOf;
  // Files opened for reading whose path contains this text open, but every
  // read of them after the first `readsAllowed` fails (a failing disk).
  std::string failReadsOf;
  int readsAllowed = 0;
  // The `failNth` (from 1) operation of one kind fails and every other one
  // succeeds, a moment's fault; moves and replacements count as one kind.
  // kAny counts every kind, and from the Nth on every change fails, as if the
  // process had been killed there.
  enum class Op { kNone, kWrite, kFlush, kMove, kDelete, kAny };
  Op failKind = Op::kNone;
  int failNth = 0;
  int opsSeen = 0;         // of that kind so far
  std::string failedPath;  // what the failed operation was on
  // Counts the operation; true when it is the one to fail.
  bool FailsNow(Op kind, const std::string& path);
  // Reported free space, when set; paths asked are recorded.
  bool fakeFreeSpace = false;
  uint64_t freeBytes = 0;
  std::vector<std::string> freeSpaceAsked;

  // Steps in an order that a power cut could turn into a damaged game or an
  // update no run finishes: a file put in place before its content was
  // flushed, or a done record written while a changed folder was not.
  std::vector<std::string> orderFaults;
  void NoteWrite(const std::string& path, const void* data, size_t n);
  void NoteFlush(const std::string& path);

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
  bool Move(const std::string& from, const std::string& to) override;
  bool Replace(const std::string& from, const std::string& to) override;
  bool FlushDir(const std::string& path) override;
  CreateDirResult CreateDir(const std::string& path) override;
  bool RemoveDir(const std::string& path) override;
  bool GetFreeBytes(const std::string& path, uint64_t* bytes) override;
  bool Delete(const std::string& path) override;
  std::unique_ptr<MappedView> MapFile(const std::string& path) override;

  int64_t writtenToFailing = 0;

 private:
  std::set<std::string> unflushedFiles_;    // lower-cased
  std::set<std::string> unflushedFolders_;  // lower-cased
  bool killed_ = false;
  void FolderChanged(const std::string& path);
};

}  // namespace test
}  // namespace upkeep

#endif  // UPKEEP_TESTS_ENGINE_TEST_UTIL_H_
