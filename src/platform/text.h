// Byte-text case conversion and comparison under the run-time locale that a
// string table may select ("Locale" call). Until one is selected only ASCII
// letters change case, as in the C locale.
#ifndef UPKEEP_PLATFORM_TEXT_H_
#define UPKEEP_PLATFORM_TEXT_H_

#include <string>

namespace upkeep {

int ToUpperChar(int c);
int ToLowerChar(int c);
void ToUpperInPlace(std::string* text);
void ToLowerInPlace(std::string* text);
// <0, 0, >0 like _stricmp.
int CompareNoCase(const char* a, const char* b);

// Selects the run-time locale by name (setlocale(LC_ALL, name)); false when the
// name is not known. An empty name selects the system default.
bool SelectLocale(const char* name);
// The ANSI code page of the current locale (1252 in the C locale).
int CurrentCodePage();

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_TEXT_H_
