#include "app/console/prefix_choice.h"

#include <cstdio>
#include <cstdlib>

#include "app/startup.h"
#include "platform/code_page.h"
#include "platform/file_system.h"
#include "platform/posix/path.h"
#include "platform/posix/wine_prefixes.h"
#include "platform/process.h"
#include "platform/text.h"
#include "script/string_table.h"

namespace upkeep {

namespace {

constexpr char kPrefixOption[] = "--prefix";

// A text of the package (ANSI) as the terminal shows it.
std::string Utf8Of(const std::string& ansi) { return AnsiToUtf8(ansi, CurrentCodePage()); }

// A button label without its mnemonic marks.
std::string WithoutMnemonic(const std::string& label) {
  std::string out;
  for (size_t i = 0; i < label.size(); ++i) {
    if (label[i] == '&' && !(i + 1 < label.size() && label[i + 1] == '&' && ++i)) continue;
    out += label[i];
  }
  return out;
}

void Say(bool quiet, const std::string& utf8) {
  if (quiet) return;
  fwrite(utf8.data(), 1, utf8.size(), stdout);
  fflush(stdout);
}

// Commands change the current directory: the prefix must not depend on it.
std::string Absolute(const std::string& dir) {
  if (dir.empty() || dir[0] == '/') return dir;
  std::string cwd = GetFileSystem()->GetCurrentDir();
  return cwd + (cwd.empty() || cwd.back() != '/' ? "/" : "") + dir;
}

void NamePrefix(bool quiet, const std::string& prefix, const std::string& how) {
  const std::string c = posix::DriveCFolder(prefix);
  Say(quiet, "Wine prefix: " + prefix + " (" + how + ")\n");
  Say(quiet, "C: drive: " +
                 (c.empty() ? std::string("none, ") + prefix + "/dosdevices/c: is missing" : c) +
                 "\n");
}

std::string Home() {
  const char* home = getenv("HOME");
  return home != nullptr ? home : "";
}

// A "~" the shell left as it was (after "--prefix=", or in quotes) is the
// home folder, as the player meant it.
std::string WithHome(const std::string& dir, bool* expanded) {
  *expanded = !dir.empty() && dir[0] == '~' && (dir.size() == 1 || dir[1] == '/');
  return *expanded ? Home() + dir.substr(1) : dir;
}

// What to do when the game is not where the updater looked.
const char kNameThePrefix[] =
    "If the game is installed in another Wine prefix, name it:\n"
    "  %s --prefix FOLDER\n"
    "FOLDER is the prefix itself, the folder that holds drive_c and system.reg; for a game "
    "Steam runs with Proton, steamapps/compatdata/<app id>/pfx in its Steam library.\n";

std::string ProgramName() {
  const std::string path = GetProgramPath();
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : "./" + path.substr(slash + 1);
}

std::string HowToName() {
  char text[sizeof kNameThePrefix + 256];
  snprintf(text, sizeof text, kNameThePrefix, ProgramName().substr(0, 255).c_str());
  return text;
}

}  // namespace

void UseNamedPrefix(const ConsoleArguments& arguments) {
  bool expanded = false;
  if (arguments.prefixGiven && !arguments.prefix.empty()) {
    posix::UseWinePrefix(
        posix::MeantPrefix(Absolute(WithHome(arguments.prefix, &expanded)), nullptr));
    return;
  }
  const char* env = getenv("WINEPREFIX");
  if (env != nullptr && *env != 0) posix::UseWinePrefix(Absolute(WithHome(env, &expanded)));
}

ConsoleArguments SplitArguments(const std::vector<std::string>& arguments) {
  ConsoleArguments out;
  std::vector<std::string> rest;
  const std::string glued = std::string(kPrefixOption) + "=";
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (a == kPrefixOption) {
      if (i + 1 == arguments.size()) {
        out.prefixLacksFolder = true;
        break;
      }
      out.prefixGiven = true;
      out.prefix = arguments[++i];
    } else if (a.compare(0, glued.size(), glued) == 0) {
      out.prefixGiven = true;
      out.prefix = a.substr(glued.size());
    } else {
      rest.push_back(a);
    }
  }
  for (size_t i = 0; i < rest.size(); ++i) {
    if (i > 0) out.commandLine += ' ';
    // Quoted as a Windows command line would carry it, so that "-log" takes
    // a file name with blanks whole.
    const std::string& arg = rest[i];
    if (arg.find_first_of(" \t") != std::string::npos && arg.find('"') == std::string::npos) {
      out.commandLine += '"' + arg + '"';
    } else {
      out.commandLine += arg;
    }
  }
  if (out.prefixGiven && out.prefix.empty()) out.prefixLacksFolder = true;
  return out;
}

int SettlePrefix(ConsoleUi* ui, const ConsoleArguments& arguments, bool force, bool quiet) {
  if (arguments.prefixLacksFolder) {
    Say(quiet, "--prefix needs the folder of a Wine prefix.\n");
    return ExitCodeAfterDialog(false, UpdateOutcome::Failed);
  }
  const std::string home = Home();
  bool expanded = false;
  if (arguments.prefixGiven) {
    const std::string given = Absolute(WithHome(arguments.prefix, &expanded));
    std::string why;
    const std::string prefix = posix::MeantPrefix(given, &why);
    if (!why.empty()) Say(quiet, given + ": " + why + ".\n");
    posix::UseWinePrefix(prefix);
    NamePrefix(quiet, prefix,
               std::string("given with --prefix") + (expanded ? ", ~ read as your home" : ""));
    if (!posix::IsWinePrefix(prefix)) {
      Say(quiet, prefix + " is not a Wine prefix: it holds no system.reg.\n" + HowToName());
    }
    return -1;
  }
  const std::string key = ExpandText("&REG_KEY&");
  const std::string value = ExpandText("&REG_DESTINATION&");
  const char* env = getenv("WINEPREFIX");
  const std::string named = env != nullptr && *env != 0 ? Absolute(WithHome(env, &expanded)) : "";
  const std::string wine = home + "/.wine";
  // The prefix named, or else the default one, when it holds the game.
  const std::string first = named.empty() ? wine : named;
  const std::string firstHow = named.empty() ? "the default prefix" : "from WINEPREFIX";
  if (posix::PrefixHasValue(first, key, value)) {
    posix::UseWinePrefix(first);
    NamePrefix(quiet, first, firstHow);
    return -1;
  }

  // Said before the search, which reads every prefix of a large library.
  Say(quiet, "Looking for " + Utf8Of(ExpandText("&PROGRAM_NAME&")) + " in " +
                 (named.empty() ? first : "WINEPREFIX " + first) +
                 " and in the prefixes of Steam, Lutris, Heroic, Bottles and winetricks...\n");
  std::vector<posix::PrefixPlace> places = posix::FindPrefixPlaces(home);
  std::vector<std::string> matches;
  std::vector<std::string> kinds;
  for (const posix::PrefixPlace& place : places) {
    for (const std::string& prefix : place.prefixes) {
      if (posix::PrefixHasValue(prefix, key, value)) {
        matches.push_back(prefix);
        kinds.push_back(place.what);
      }
    }
  }
  if (matches.size() == 1) {
    posix::UseWinePrefix(matches[0]);
    NamePrefix(quiet, matches[0], "the game's prefix, found in " + kinds[0]);
    if (!named.empty())
      Say(quiet, "WINEPREFIX names " + named + ", which does not hold the game.\n");
    return -1;
  }
  if (matches.empty()) {
    // The named or default prefix stays; the update then says the game is
    // not installed.
    std::string text = "The game was not found in " + first;
    if (places.empty()) {
      text += ", and there are no Steam, Lutris, Heroic, Bottles or winetricks prefixes.\n";
    } else {
      text += " nor in the prefixes of:\n";
      for (const posix::PrefixPlace& place : places) {
        text += "  " + place.what + " " + place.folder + " (" +
                std::to_string(place.prefixes.size()) +
                (place.prefixes.size() == 1 ? " prefix)\n" : " prefixes)\n");
      }
    }
    if (!named.empty() && !posix::IsWinePrefix(named)) {
      text += "WINEPREFIX names " + named + ", which is no Wine prefix: it holds no system.reg.\n";
    }
    posix::UseWinePrefix(first);
    NamePrefix(quiet, first, firstHow);
    Say(quiet, text + HowToName());
    return -1;
  }
  std::string list = "The game is installed in several Wine prefixes:\n";
  std::vector<std::string> labels;
  for (size_t i = 0; i < matches.size(); ++i) {
    labels.push_back(matches[i] + " (" + kinds[i] + ")");
    list += "  " + std::to_string(i + 1) + ". " + labels.back() + "\n";
  }
  if (force) {
    Say(quiet, list + "Name one with --prefix DIR.\n");
    return ExitCodeAfterDialog(false, UpdateOutcome::Failed);
  }
  // Listed once, as the choices: names as they are on disk.
  Say(quiet,
      "The game is installed in several Wine prefixes. Which one holds the game to update?\n");
  labels.push_back(Utf8Of(WithoutMnemonic(ExpandText("&IDS_BTN_CLOSE&"))));
  const size_t chosen = ui->ChooseListed(labels, matches.size());
  if (chosen >= matches.size()) return ExitCodeAfterDialog(false, UpdateOutcome::Failed);
  posix::UseWinePrefix(matches[chosen]);
  NamePrefix(quiet, matches[chosen], "chosen, " + kinds[chosen]);
  return -1;
}

}  // namespace upkeep
