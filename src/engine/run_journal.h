// The record a run keeps in the game folder while it changes the game, so
// that after a crash the next run of the same package finishes the update
// instead of refusing the half-updated files, and another package knows not
// to start on top of an update cut short. An update that failed (rather than
// being cut short) says so, and then holds no other package back: that
// package's own checks decide whether it fits the half-updated game.
//
// One record per line, appended and never rewritten: fields separated by a
// tab, then a tab and the CRC-32 of everything before it in eight hex digits.
// A line whose checksum does not match (a record torn by a crash) is ignored.
//   upkeep-journal 1 <package crc> <version> <language> <program> <patch version>
//   change                        changes to the game begin
//   temp <ordinal> <path>         new content is being written under this name
//   done <ordinal>                the command with this ordinal completed
//   end <code>                    the run stopped with this result code: it failed
//   retry                         a run of the package took the failed update up again
// Ordinals number the calls of the sections a run walks, from 0, so a run that
// starts from the same version numbers them the same way.
#ifndef UPKEEP_ENGINE_RUN_JOURNAL_H_
#define UPKEEP_ENGINE_RUN_JOURNAL_H_

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "package/package.h"
#include "platform/file_system.h"

namespace upkeep {

// What a journal says about the run that began it.
struct JournalStart {
  uint32_t packageCrc = 0;  // CRC-32 of the package's "patch.scr"
  std::string version;      // installed version the run started from
  std::string language;     // installed language it started from
  std::string programName;  // the update's names, for the message another package shows
  std::string patchVersion;
};

// A record that cannot be written while fewer bytes than this are free was
// stopped by a full disk.
constexpr uint64_t kJournalRoom = 65536;

// The CRC-32 of "patch.scr" as the run will read it from `package` (the
// process-wide lookup when null); false when it cannot be read.
bool PackageScriptCrc(const PackageArchive* package, uint32_t* crc);

class RunJournal {
 public:
  RunJournal() = default;
  ~RunJournal();
  RunJournal(const RunJournal&) = delete;
  RunJournal& operator=(const RunJournal&) = delete;

  // The journal of the game folder `gameDir`.
  static std::string PathIn(const std::string& gameDir);

  // Reads the journal at `path`. False when there is none, when the name is
  // a link (not a file this updater made), or when its first record is not
  // whole: a run that died writing it had changed nothing.
  bool Load(const std::string& path);
  // Starts a new journal at `path` over whatever is there (a link there goes
  // as a link); true once its first record is on the disk.
  bool Begin(const std::string& path, const JournalStart& start);
  // Goes on with the loaded journal: the temporary files it names are
  // removed (only plain files below its folder reached through no link), a
  // failed update is noted as taken up again, and new records follow its
  // last whole one.
  bool Continue();

  // Starts the journal over with the same first record, for a game that is no
  // longer what the records say (installed again since, say); true once that
  // record is on the disk.
  bool Restart();

  const JournalStart& start() const { return start_; }
  // Loaded from an earlier run rather than begun by this one.
  bool resumed() const { return resumed_; }
  bool IsDone(int64_t ordinal) const { return done_.count(ordinal) != 0; }
  // The command was done, or had begun to write new content.
  bool WasBegun(int64_t ordinal) const { return IsDone(ordinal) || begun_.count(ordinal) != 0; }
  size_t doneCount() const { return done_.size(); }
  // Some run of this journal began to change the game.
  bool changeNoted() const { return change_noted_; }
  // Its last run failed (and noted so) rather than being cut short.
  bool failed() const { return failed_; }
  // Another package must not start: an update was cut short half-way.
  bool HoldsBack() const { return change_noted_ && !failed_; }
  // The bytes Load read.
  const std::string& text() const { return text_; }
  // The earlier run this one resumes began to change the game.
  bool changedBefore() const { return changed_before_; }

  // Append records; false when they could not be written. Every record
  // reaches the system at once, so it outlives the process. The change record
  // (with the journal's own name in its folder) also goes down to the disk,
  // and so do the done records, all of one call in one flush; a temporary
  // name need not: a crash that loses it leaves a stray file that the next
  // writer of that name replaces.
  bool NoteChange();
  bool NoteTemporary(int64_t ordinal, const std::string& path);
  bool NoteDone(const std::vector<int64_t>& ordinals);
  // The run failed with `code` after it changed the game, and leaves the
  // journal for the package to finish; on the disk before it returns true.
  bool NoteEnd(int32_t code);

  // Closes the journal and deletes it; false when it stays on the disk.
  bool Remove();
  // Closes the journal and puts `text` (what Load read from an earlier one)
  // in its place, flushed; false when that could not be written whole.
  bool Restore(const std::string& text);
  void Close();

 private:
  void Reset();
  bool Append(const std::string& fields, bool durable);

  std::string path_;
  std::unique_ptr<File> file_;
  JournalStart start_;
  std::set<int64_t> done_;
  std::set<int64_t> begun_;  // named by a temporary record
  std::vector<std::string> temporaries_;
  bool resumed_ = false;
  bool change_noted_ = false;
  bool changed_before_ = false;
  bool failed_ = false;
  bool ends_torn_ = false;  // the loaded file ends inside a record
  std::string text_;
};

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_RUN_JOURNAL_H_
