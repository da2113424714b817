#include "app/console/prefix_choice.h"

#include <cstdio>
#include <cstdlib>

#include "app/startup.h"
#include "platform/code_page.h"
#include "platform/file_system.h"
#include "platform/posix/path.h"
#include "platform/posix/wine_prefixes.h"
#include "script/string_table.h"

namespace upkeep {

namespace {

constexpr char kPrefixOption[] = "--prefix";

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

}  // namespace

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
  if (arguments.prefixGiven) {
    posix::UseWinePrefix(Absolute(arguments.prefix));
    NamePrefix(quiet, posix::WinePrefix(), "given with --prefix");
    return -1;
  }
  const char* env = getenv("WINEPREFIX");
  if (env != nullptr && *env != 0) {
    posix::UseWinePrefix(Absolute(env));
    NamePrefix(quiet, posix::WinePrefix(), "from WINEPREFIX");
    return -1;
  }
  const char* home_env = getenv("HOME");
  const std::string home = home_env != nullptr ? home_env : "";
  const std::string wine = home + "/.wine";
  const std::string key = ExpandText("&REG_KEY&");
  const std::string value = ExpandText("&REG_DESTINATION&");
  if (posix::PrefixHasValue(wine, key, value)) {
    posix::UseWinePrefix(wine);
    NamePrefix(quiet, wine, "the default prefix");
    return -1;
  }

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
    return -1;
  }
  if (matches.empty()) {
    // The default stays; the update then says the game is not installed.
    std::string text = "The game was not found in " + wine;
    if (places.empty()) {
      text += ", and there are no Steam, Lutris or Bottles prefixes.\n";
    } else {
      text += " nor in the prefixes of:\n";
      for (const posix::PrefixPlace& place : places) {
        text += "  " + place.what + " " + place.folder + " (" +
                std::to_string(place.prefixes.size()) +
                (place.prefixes.size() == 1 ? " prefix)\n" : " prefixes)\n");
      }
    }
    posix::UseWinePrefix(wine);
    NamePrefix(quiet, wine, "the default prefix");
    Say(quiet, text);
    return -1;
  }
  std::string list = "The game is installed in several Wine prefixes:\n";
  for (size_t i = 0; i < matches.size(); ++i) {
    list += "  " + std::to_string(i + 1) + ". " + matches[i] + " (" + kinds[i] + ")\n";
  }
  if (force) {
    Say(quiet, list + "Name one with --prefix DIR.\n");
    return ExitCodeAfterDialog(false, UpdateOutcome::Failed);
  }
  Say(quiet, list + "Which one holds the game to update?\n");
  std::vector<std::string> labels;
  for (const std::string& prefix : matches) labels.push_back(Utf8ToAnsi(prefix));
  labels.push_back(ExpandText("&IDS_BTN_CLOSE&"));
  const size_t chosen = ui->Choose(labels, matches.size());
  if (chosen >= matches.size()) return ExitCodeAfterDialog(false, UpdateOutcome::Failed);
  posix::UseWinePrefix(matches[chosen]);
  NamePrefix(quiet, matches[chosen], "chosen, " + kinds[chosen]);
  return -1;
}

}  // namespace upkeep
