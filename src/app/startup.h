// The portable half of start-up, shared by the dialog and console front ends:
// the program's own package, the string table, the options, the single-instance
// guard, and the texts the main dialog shows.
#ifndef UPKEEP_APP_STARTUP_H_
#define UPKEEP_APP_STARTUP_H_

#include <functional>
#include <string>
#include <vector>

#include "app/host.h"
#include "package/package.h"

namespace upkeep {

struct StartupOptions {
  bool force = false;
  bool skipSpaceCheck = false;
  bool skipShortcuts = false;
  // Unattended: no window, no question, no read-me; implies force. The exit
  // code is the outcome's.
  bool silent = false;
  // "-?" or "-help": the list of options, and nothing else.
  bool help = false;
  // "--version" as a word of its own: the program's version, and nothing else.
  bool version = false;
  // "-log FILE": a copy of patch.log goes to logFile too. A "-log" without a
  // name leaves logFile empty, which no file can be made of.
  bool log = false;
  std::string logFile;
};

// "-log" and its file are taken out first: the file follows it after any
// blanks, a quoted text or everything up to the next blank. Each other option
// is on when its text occurs anywhere in what is left of the command line
// (the part after the program name), letter case significant; "--version"
// only as a blank-separated word outside quotes.
StartupOptions ParseOptions(const std::string& commandLine);

// The options, one a line, as "-?" shows them.
std::string HelpText();
// What "--version" shows: the program and its version.
std::string VersionText();

// Makes the file for the copy of the log, empty, before anything else
// happens, so that a name that cannot be written stops the program before it
// changes anything. The full path on success (later runs change the current
// directory for a moment); empty when the file cannot be made.
std::string PrepareLogCopy(const std::string& file);
// What the program says when it cannot: the name is part of the text.
std::string LogCopyRefusal(const std::string& file);
// Fills the copy of the log with the final state alone, as a log that got
// nothing but its last line ends (text mode): for a program that ends before
// any run could write a patch.log. False when it cannot be written.
bool WriteFinalStateCopy(const std::string& copy, const std::string& finalText);

// Start-up up to the terms step, in its fixed order: joins the instance
// counter (which the image loader does on Windows), mounts the program's own
// file as a package, loads "Strings.scr", hands the shortcut commands to the
// engine, reads the options. From here on the package layer reads no loose
// files: every name the program asks for comes from its own package or not at
// all. `hasPackage` (when given) tells whether the program's file carries a
// valid package; without one the caller shows kDamagedUpdateText and ends with
// kExitFailed. A string table that does not load is not examined: texts then
// show their tokens.
// `damagedText`, when given, gets what to show when there is no package: a
// missing or damaged data volume is named, anything else is
// kDamagedUpdateText. A package whose manifest gives digests has its scripts
// and texts checked here too, before any of them is read.
StartupOptions BeginStartup(const std::string& commandLine, bool* hasPackage = nullptr,
                            std::string* damagedText = nullptr);

// Shown, with the program's file name as caption, when the program carries no
// valid package: a truncated download or a program started on its own. The
// string table is not there to word it.
extern const char kDamagedUpdateText[];
// What BeginStartup says of a package that did not open: kDamagedUpdateText,
// or for a data volume the same naming the file.
std::string DamagedPackageText(const PackageProblem& problem);

// The single-instance guard. Returns when this process may go on; otherwise
// calls `showRefusal` (text, caption: the information box owned by the
// desktop) and ends the process through exit(0).
using RefusalBox = std::function<void(const std::string& text, const std::string& caption)>;
void EnsureSingleInstance(const RefusalBox& showRefusal);
// The guard without the ending: false, with the box's texts, when refused.
bool ClaimSingleInstance(std::string* text, std::string* caption);

// Texts of the main dialog and its message boxes.
// Caption of every message box: "&IDS_TITLE&" with the program name.
std::string MessageCaption();
// The dialog caption: "&UPDATE_TITLE&" (program, versions with ";" shown as
// ", ", patch version) or, with no GAME_VERSION, "&UPDATE_TITLE_NO_VER&"
// (program, patch version), filled in printf style.
std::string DialogCaption();
// The same caption with `programName` in place of the program's name.
std::string DialogCaptionFor(const std::string& programName);
// The notes of the information page before a run.
std::string InfoText();
// The information page's text after a run with `outcome`.
std::string OutcomeText(UpdateOutcome outcome);
// The question asked before a run (unless forced).
std::string UpdateQuestion();
// Whether Update is offered again after `outcome`.
inline bool CanUpdateAgain(UpdateOutcome outcome) { return outcome == UpdateOutcome::Interrupted; }

// Exit codes. Close (the dialog's cancel command) ends with -1.
constexpr int kExitClose = -1;
// A failed update, and a program that carries no valid package.
constexpr int kExitFailed = 3;
// No update ran because a choice could not be had: the console updater with
// nobody to answer it, or several prefixes and none chosen.
constexpr int kExitNoAnswer = 2;
// A main dialog that ends other than through Close, such as the console front
// end after a forced run: 0 after success, 1 after an interrupted run, 3 after
// a failed one, 2 when no update ran at all.
int ExitCodeAfterDialog(bool ran, UpdateOutcome last);

// printf-style filling of "%s" placeholders with texts, safe for templates
// from the package: each "%s" (flags, width and precision allowed) takes the
// next text or "" when they run out, "%%" gives "%", and any other
// conversion is kept as written instead of reading an argument that is not
// there.
std::string FormatPrintfTexts(const std::string& templ, const std::vector<std::string>& texts);

}  // namespace upkeep

#endif  // UPKEEP_APP_STARTUP_H_
