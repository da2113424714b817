// The operating system's side of locale selection; text.cpp keeps the tables.
#ifndef UPKEEP_PLATFORM_SYSTEM_LOCALE_H_
#define UPKEEP_PLATFORM_SYSTEM_LOCALE_H_

namespace upkeep {

// The ANSI code page of the user's default locale: GetACP() on Windows; on
// POSIX the one of the language in LC_ALL, LC_CTYPE or LANG (1252 otherwise),
// as Wine derives it.
int SystemDefaultCodePage();

// Hands an accepted locale name to the C run-time (setlocale on Windows, so
// the run-time's own conversions agree); nothing on POSIX.
void ApplyRuntimeLocale(const char* name);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_SYSTEM_LOCALE_H_
