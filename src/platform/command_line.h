// What a command-line tool needs from the system beyond files: its arguments
// and its console in UTF-8 on every build, and commands run through the
// system's shell.
#ifndef UPKEEP_PLATFORM_COMMAND_LINE_H_
#define UPKEEP_PLATFORM_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace upkeep {

// The arguments after the program's name, UTF-8. Windows hands a program its
// arguments in the ANSI code page, which cannot spell every name, so there
// they come from the wide command line instead of `argv`.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Makes UTF-8 written to standard output and error show as such on a Windows
// console (its code page is put back when the program ends); elsewhere
// terminals take UTF-8 already.
void UseUtf8Console();

// Runs `command` with the system's shell (sh -c; cmd.exe /c on Windows) in
// the folder `dir` (UTF-8; empty: the current one) and waits for it. Its exit
// status, or -1 (with `problem`) when it could not be run or did not end
// normally.
int RunShellCommand(const std::string& command, const std::string& dir, std::string* problem);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_COMMAND_LINE_H_
