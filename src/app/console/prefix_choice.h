// Which Wine prefix is the machine: the one named with --prefix, $WINEPREFIX,
// ~/.wine when it holds the game, or else the one of the players' usual
// places (Steam's Proton prefixes, Lutris, Bottles) whose registry does.
#ifndef UPKEEP_APP_CONSOLE_PREFIX_CHOICE_H_
#define UPKEEP_APP_CONSOLE_PREFIX_CHOICE_H_

#include <string>
#include <vector>

#include "app/console/console_ui.h"

namespace upkeep {

struct ConsoleArguments {
  // What the three options are searched in: the arguments joined by spaces,
  // without --prefix and its folder, so a folder name never turns one on.
  std::string commandLine;
  bool prefixGiven = false;
  std::string prefix;
  bool prefixLacksFolder = false;  // "--prefix" was the last argument
};

// "--prefix DIR" or "--prefix=DIR", as whole arguments; the last one counts.
ConsoleArguments SplitArguments(const std::vector<std::string>& arguments);

// Settles the prefix before anything reads the machine and names it, and the
// folder that is its C: drive, on the console. Returns -1 to go on, or the
// exit code when no prefix can be used (several hold the game and none was
// chosen, or --prefix lacks its folder). `quiet` (-silent) says nothing.
int SettlePrefix(ConsoleUi* ui, const ConsoleArguments& arguments, bool force, bool quiet);

// The prefix named by --prefix or WINEPREFIX, as SettlePrefix would read the
// name, without looking anywhere else or saying anything: for a program that
// ends before it settles one.
void UseNamedPrefix(const ConsoleArguments& arguments);

}  // namespace upkeep

#endif  // UPKEEP_APP_CONSOLE_PREFIX_CHOICE_H_
