// What a terminal front end needs to know about its standard streams.
#ifndef UPKEEP_PLATFORM_CONSOLE_H_
#define UPKEEP_PLATFORM_CONSOLE_H_

namespace upkeep {

bool StdinIsTerminal();
bool StdoutIsTerminal();
// Columns of the terminal on standard output; 80 when it cannot be told.
int TerminalColumns();
// The same for standard error, where tools draw their progress.
bool StderrIsTerminal();
int StderrColumns();

// While held, Ctrl-C, Ctrl-\, a hang-up of the terminal and a termination
// request do not end the process: an update must not stop half-way. Released,
// they act as before.
void HoldInterrupts(bool hold);
// Writing to a pipe nobody reads any more fails instead of ending the process.
void IgnoreBrokenPipes();

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_CONSOLE_H_
