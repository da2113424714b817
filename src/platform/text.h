// Byte-text case conversion and comparison under the run-time locale that a
// string table may select ("Locale" call). Until one is selected only ASCII
// letters change case, as in the C locale. The case tables are this program's
// own, so a locale gives the same results on every platform.
#ifndef UPKEEP_PLATFORM_TEXT_H_
#define UPKEEP_PLATFORM_TEXT_H_

#include <string>

namespace upkeep {

int ToUpperChar(int c);
int ToLowerChar(int c);
void ToUpperInPlace(std::string* text);
void ToLowerInPlace(std::string* text);
// <0, 0, >0 like _stricmp: the lower-case forms compared as unsigned bytes.
int CompareNoCase(const char* a, const char* b);

// Selects the locale by a Windows locale name for all categories:
// "C"; "" (the user's default); ".1250" or ".ACP" (a code page); a language
// such as "Polish", "polish", "plk" or "pl", optionally followed by
// "_Country" and ".codepage" ("Polish_Poland.1250"). Single-byte ANSI code
// pages 1250 to 1258 are known. An unknown name, or a null one, changes
// nothing and gives false.
bool SelectLocale(const char* name);
// The ANSI code page of the current locale (1252 in the C locale).
int CurrentCodePage();
// The code page of the locale a string table selected; 0 in the C locale,
// where the Windows build keeps the system's own ANSI code page.
int SelectedCodePage();

// The ANSI code page of a language given by its English name, its Windows
// three-letter abbreviation or its ISO 639-1 code, ignoring case; 0 if unknown.
int LanguageCodePage(const char* language);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_TEXT_H_
