// What a terminal front end needs to know about its standard streams.
#ifndef UPKEEP_PLATFORM_CONSOLE_H_
#define UPKEEP_PLATFORM_CONSOLE_H_

#include <string>

namespace upkeep {

bool StdinIsTerminal();
bool StdoutIsTerminal();
// Columns and rows of the terminal on standard output; 80 and 24 when they
// cannot be told.
int TerminalColumns();
int TerminalRows();
// The same for standard error, where tools draw their progress.
bool StderrIsTerminal();
int StderrColumns();

// Outside a held stretch, Ctrl-C ends the process at once with `code`, after
// a line break, as closing the program does.
void ExitOnInterrupt(int code);
// While held, Ctrl-\, a hang-up of the terminal and a termination request do
// not end the process, and Ctrl-C only leaves a request (TakeInterrupt): an
// update must not stop half-way. Released, they act as before.
void HoldInterrupts(bool hold);
// Whether Ctrl-C was pressed while held since last asked; asking clears it.
bool TakeInterrupt();
bool InterruptPending();
// Writing to a pipe nobody reads any more fails instead of ending the process.
void IgnoreBrokenPipes();

// One line of standard input, without its line end. Waits until a whole line
// is there, the input ends (a last line without its end still counts), or
// Ctrl-C is pressed while held.
enum class InputLine { kLine, kEnd, kInterrupted };
InputLine ReadInputLine(std::string* line);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_CONSOLE_H_
