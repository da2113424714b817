#include "authoring/string_keys.h"

namespace upkeep {

namespace {

const StringKey kKeys[] = {
    // Settings.
    {"REG_KEY", "SOFTWARE\\\\Example Studio\\\\Example Game",
     "registry key (under HKEY_LOCAL_MACHINE) where the installed game records itself"},
    {"REG_DESTINATION", "ExampleInstallPath",
     "registry value under REG_KEY holding the game directory"},
    {"PROGRAM_NAME", "Example Game", "the game's name in titles and messages"},
    {"PROGRAM_NAME_OLD", "Example Game", "the game's name in messages about the installed game"},
    {"SRC_EXE", "game.exe",
     "the game's executable in the game directory; several names separated by ';', the first "
     "present one is used"},
    {"GAME_VERSION", "1.0.0.0",
     "version(s) of the installed game this update accepts, ';'-separated; an installed version "
     "is the first 7 characters of the game program's ProductVersion (when it has 8 or more); "
     "empty: any version, and no version in the window title"},
    {"PATCH_VERSION", "1.0.1.0", "the version the update brings the game to (window title)"},
    {"LANG_VERSION", "ENG",
     "language of the game this update is for: what follows the 7th character of the game "
     "program's ProductVersion; empty: any language"},
    {"SHOW_README", "1", "\"0\": do not open ReadMe.txt after a successful update"},
    {"UPDATE_TITLE", "%s update %s -> %s",
     "window title, printf-style: %s game name, %s accepted versions, %s new version"},
    {"UPDATE_TITLE_NO_VER", "%s update %s",
     "window title without GAME_VERSION, printf-style: %s game name, %s new version"},
    // Start-up and messages of the update run.
    {"IDS_TITLE", "%1 update", "caption of every message box; %1 game name"},
    {"IDS_UPDATE_ALREADY_RUNNING", "The %1 update is already running.",
     "message box when a second copy is started; %1 game name"},
    {"IDS_PROGRESS_INIT", "Preparing the update...", "progress: start of the run"},
    {"IDS_PROGRESS_INIT_DONE", "Ready.", "progress: installation checks passed"},
    {"IDS_PROGRESS_UPDATING_DATA", "Updating game files...", "progress: the script starts"},
    {"IDS_PROGRESS_UPDATE_DONE", "Update finished.", "progress: the script ran to its end"},
    {"IDS_PROGRESS_STORING_UPDATE_INFO", "Finishing...", "progress: last step after success"},
    {"IDS_ERR_NO_REG_KEY",
     "%1 is not installed on this computer.\\nInstall %2 before you install the %3 update.",
     "message box: registry key or value missing; %1, %2 installed game's name, %3 game name"},
    {"IDS_ERR_NO_GAME_DIR",
     "The folder of %1 was not found.\\nReinstall %1, then run the %2 update.",
     "message box: game folder missing; %1 installed game's name, %2 game name"},
    {"IDS_ERR_NO_GAME", "The program of %1 was not found.\\nReinstall %1, then run the %2 update.",
     "message box: game executable missing; %1 installed game's name, %2 game name"},
    {"IDS_ERR_GAME_RUNNING", "%1 is running.\\nClose %2 and choose Retry.",
     "message box with Retry/Cancel while the game runs; %1, %2 installed game's name"},
    {"IDS_ERR_GAME_STILL_RUNNING",
     "%1 is still running, so the update did not start. Nothing was changed.\\nClose %1, then "
     "start the update again.",
     "message box after Cancel while the game runs; %1 installed game's name"},
    {"IDS_ERR_WRONG_LANG", "This update does not fit the language of your copy of %1.\\n",
     "message box, first part of the language text; %1 game name"},
    {"IDS_YOUR_GAME_LANG_VER_IS",
     "Language of your game: ", "language text, before the installed language code"},
    {"IDS_THIS_PATCH_IS_FOR_LANG_VER",
     "\\nThis update is for: ", "language text, before LANG_VERSION"},
    {"IDS_ERROR_WRONG_VERSION", "This update needs version %1 of the game.",
     "message box: wrong installed version; %1 GAME_VERSION"},
    {"IDS_UPDATE_SUCCESSFUL", "The update was installed successfully.",
     "message box: the whole update ran"},
    {"IDS_ALREADY_UP_TO_DATE",
     "%1 is already installed: the game is up to date. Nothing was changed.",
     "message box: the game already is what the update makes it; %1 game name"},
    {"IDS_UPDATE_STOPPED", "The update was stopped.",
     "first part of IDS_ERR_UPDATE_INCOMPLETE after Cancel once files had changed"},
    {"IDS_ERR_UPDATE_FAILED_DUE_SPACE", "There is not enough free disk space for the update.",
     "message box: a FreeSpace check failed"},
    {"IDS_ERR_GENERIC", "The update failed. Details are in patch.log in the game folder.",
     "message box: a file operation failed or the script is broken"},
    {"IDS_ERR_WRONG_CRC",
     "A game file is not the one this update expects. Details are in patch.log in the game folder.",
     "message box: a checksum did not match"},
    {"IDS_ERR_UPDATE_INCOMPLETE",
     "%1\\nThe update is not complete: some game files are already updated. Run the update "
     "again to finish it. If it stops the same way again, ask the publisher for a corrected "
     "update or reinstall the game; another update of the game can also be tried.",
     "message box: a run stopped after it had changed game files (or one that resumed an "
     "interrupted update failed); %1 the failure's own message"},
    {"IDS_ERR_DAMAGED_DOWNLOAD",
     "The update's file %1 is damaged or incomplete, so the update cannot run. Nothing was "
     "changed by it. Please download the update again.",
     "message box: the update's data does not match its manifest (checked before anything "
     "changes); %1 the damaged file's name"},
    {"IDS_ERR_UNFINISHED_UPDATE",
     "An earlier update of %1 (to version %2) was cut short half-way, so this one cannot "
     "start.\\nRun that update again to finish it, then run this one. Without that update, "
     "reinstall the game first.",
     "message box: another update was cut short half-way (not one that failed) and must be "
     "finished first; %1 its PROGRAM_NAME, %2 its PATCH_VERSION"},
    {"IDS_ERR_FILE_TOO_LARGE",
     "A game file is too large for this update (4 GiB or more). Details are in patch.log in the "
     "game folder.",
     "message box: a file the update checks or writes is 4 GiB or larger"},
    // Main window.
    {"IDS_UPDATE", "Install the update now?", "question before the update starts"},
    {"IDS_INFO_BEGIN",
     "This program updates %1.\\nClose %2 before you continue.\\nChoose Update to start.",
     "information page before the update; %1 to %4 installed game's name"},
    {"IDS_INFO_SUCCES", "%1 was updated.",
     "information page after success; %1 installed game's name"},
    {"IDS_INFO_SKIP", "The update was stopped before anything changed. You can run it again.",
     "information page after an interrupted run; %1 installed game's name"},
    {"IDS_INFO_FAILED", "The update of %1 failed.",
     "information page after a failure; %1 installed game's name, %2 game name"},
    {"IDS_ERR_FATAL_ERROR", "The update could not be started.",
     "message box: the worker could not be started"},
    {"IDS_BTN_CLOSE", "Close", "button"},
    {"IDS_BTN_UPDATE", "Update", "button"},
    {"IDS_BTN_CANCEL", "Cancel", "button that stops a running update"},
    {"IDS_BTN_SHOW_LOG", "Show log", "button after a run that did not succeed: opens patch.log"},
    {"IDS_STOP_UPDATE",
     "Stop the update?\\nIt stops at the next step it can stop at safely. Files it has already "
     "updated stay updated; running the update again finishes it.",
     "question after Cancel while the update runs"},
    // Steps of the script.
    {"IDS_PROGRESS_CHECKING_DISK_SPACE", "Checking free disk space...", "progress: FreeSpace"},
    {"IDS_PROGRESS_CHECKING_DOWNLOAD", "Checking the update's data...",
     "progress: the check of the update's data before anything changes"},
    {"IDS_PROGRESS_RENAMING_FILE", "Renaming a file...", "progress: RenameFile"},
    {"IDS_PROGRESS_ADDING_SHORTCUT", "Adding a shortcut...", "progress: Add...Link"},
    {"IDS_PROGRESS_UPDATING_SHORTCUT", "Updating shortcuts...", "progress: Update...Link"},
    {"IDS_PROGRESS_COPYING_FILE", "Copying a file...", "progress: IsOKFile repairs a file"},
    {"IDS_PROGRESS_VERYFING_SOURCE_FILE", "Checking a file...", "progress: CheckFile"},
    {"IDS_PROGRESS_REMOVING_FILE", "Removing a file...", "progress: DeleteFile"},
    {"IDS_PROGRESS_LOADING_UPDATE", "Loading update data...",
     "progress: PatchFile reads its delta"},
    {"IDS_PROGRESS_LOADING_SOURCE_FILE", "Reading a game file...",
     "progress: PatchFile opens the old file"},
    {"IDS_PROGRESS_VERYFING_DEST_FILE", "Checking the updated file...",
     "progress: PatchFile and IsOKFile check a result; checks of an update already installed"},
    {"IDS_PROGRESS_UPDATING_FILE", "Updating a file...",
     "progress: PatchFile writes the new content"},
    {"IDS_PROGRESS_CREATING_FILE", "Creating a file...", "progress: CreateFile"},
    {"IDS_PROGRESS_VERYFING_CREATED_FILE", "Checking the created file...",
     "progress: CreateFile checks its result"},
    {"IDS_PROGRESS_VERYFING_SOURCE_DIR", "Checking a folder...", "progress: CheckDir"},
    {"IDS_PROGRESS_CREATING_DIR", "Creating a folder...", "progress: CreateDir"},
    {"IDS_PROGRESS_REMOVING_DIR", "Removing a folder...", "progress: DeleteDir"},
    {"IDS_PROGRESS_VERYFING_DEST_DIR", "Checking a folder...", "progress: IsOKDir"},
    // Terms dialog (shown when the package carries umowa.txt).
    {"IDS_TITLE_LICENCE", "Licence agreement", "caption of the terms dialog"},
    {"IDS_BTN_ACCEPT", "I accept", "terms dialog button"},
    {"IDS_BTN_DECLINE", "I decline", "terms dialog button"},
};

}  // namespace

const StringKey* RuntimeStringKeys(size_t* count) {
  *count = sizeof kKeys / sizeof kKeys[0];
  return kKeys;
}

std::string DefaultStringsScript() {
  const char* eol = "\r\n";
  std::string s;
  s += "// String table of the update: every text the updater shows and the product's settings.";
  s += eol;
  s += "// \\n in a text is a line break; texts marked with %1, %2... receive those values.";
  s += eol;
  s += "!String(s, s)";
  s += eol;
  s += "// To pick the locale that case conversion follows, declare and call Locale:";
  s += eol;
  s += "// !Locale(s)";
  s += eol;
  s += "// Locale(\"English\")";
  s += eol;
  for (const auto& k : kKeys) {
    s += eol;
    s += "// ";
    s += k.comment;
    s += eol;
    s += "String(\"";
    s += k.key;
    s += "\", \"";
    s += k.text;
    s += "\")";
    s += eol;
  }
  return s;
}

namespace {

// A template text as the parser reads it back (its only escapes are \\).
std::string Unescaped(const char* literal) {
  std::string out;
  for (const char* p = literal; *p; ++p) {
    if (*p == '\\' && p[1] != 0) ++p;
    out.push_back(*p);
  }
  return out;
}

const char* TemplateText(const char* key) {
  for (const auto& k : kKeys) {
    if (std::string(k.key) == key) return k.text;
  }
  return "";
}

}  // namespace

std::vector<std::string> RequiredStringKeys(const std::map<std::string, std::string>& texts,
                                            bool has_terms) {
  // The caption's template depends on whether there are versions to show; a
  // missing GAME_VERSION shows as its token, which is not empty.
  auto game_version = texts.find("GAME_VERSION");
  const bool versions = game_version == texts.end() || !game_version->second.empty();
  std::vector<std::string> needed = {"REG_KEY", "REG_DESTINATION", "SRC_EXE", "IDS_TITLE",
                                     versions ? "UPDATE_TITLE" : "UPDATE_TITLE_NO_VER"};
  if (has_terms) needed.push_back("IDS_TITLE_LICENCE");
  return needed;
}

std::vector<std::string> StringTableFaults(const std::map<std::string, std::string>& texts,
                                           bool has_terms) {
  std::vector<std::string> faults;
  for (const auto& key : RequiredStringKeys(texts, has_terms)) {
    if (texts.count(key)) continue;
    faults.push_back("the string table lacks " + key +
                     ", which the updater cannot do without (upkeep-pack init-strings writes "
                     "every key with a comment)");
  }
  // Settings that must name this game: left at the example, the updater
  // looks for a game nobody has.
  static const char* const kOwnSettings[] = {"REG_KEY", "REG_DESTINATION", "PROGRAM_NAME"};
  for (const char* key : kOwnSettings) {
    auto it = texts.find(key);
    if (it == texts.end() || it->second != Unescaped(TemplateText(key))) continue;
    faults.push_back(std::string(key) + " still holds init-strings' example \"" + it->second +
                     "\": set it to your game's " +
                     (std::string(key) == "REG_KEY"           ? "registry key"
                      : std::string(key) == "REG_DESTINATION" ? "registry value naming its folder"
                                                              : "name"));
  }
  return faults;
}

std::map<std::string, std::string> StringTexts(const ScriptProgram& program) {
  std::map<std::string, std::string> texts;
  for (const ScriptCall* call = program.first; call != nullptr; call = call->next) {
    const char* key = StringArgument(call, 0);
    const char* text = StringArgument(call, 1);
    if (!CallNameIs(call, "String") || key == nullptr || *key == 0 || text == nullptr) continue;
    std::string k = key;
    for (char& c : k) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    texts.emplace(k, text);
  }
  return texts;
}

}  // namespace upkeep
