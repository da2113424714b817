// What a terminal front end needs to know about its standard streams.
#ifndef UPKEEP_PLATFORM_CONSOLE_H_
#define UPKEEP_PLATFORM_CONSOLE_H_

namespace upkeep {

bool StdinIsTerminal();
bool StdoutIsTerminal();
// Columns of the terminal on standard output; 80 when it cannot be told.
int TerminalColumns();

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_CONSOLE_H_
