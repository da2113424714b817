// Conversions between UTF-16 and the ANSI code page, as the system's
// WideCharToMultiByte and MultiByteToWideChar do them for CP_ACP. Characters
// the code page cannot hold become '?'.
#ifndef UPKEEP_PLATFORM_CODE_PAGE_H_
#define UPKEEP_PLATFORM_CODE_PAGE_H_

#include <string>

namespace upkeep {

// Code page 0 is the process's ANSI code page (CP_ACP; on POSIX the one
// CurrentCodePage() reports).
constexpr int kAnsiCodePage = 0;

std::string Utf16ToAnsi(const std::u16string& text, int code_page = kAnsiCodePage);
std::u16string AnsiToUtf16(const std::string& text, int code_page = kAnsiCodePage);

// UTF-8 through UTF-16; for terminals and native file names.
std::string AnsiToUtf8(const std::string& text, int code_page = kAnsiCodePage);
std::string Utf8ToAnsi(const std::string& text, int code_page = kAnsiCodePage);

// The same for names, where a stand-in would name another file: false when a
// character has no equivalent on the other side (or the input is not valid
// text in its encoding), and `out` is then empty. `out` may be `text` itself.
bool AnsiToUtf8Exact(const std::string& text, std::string* out, int code_page = kAnsiCodePage);
bool Utf8ToAnsiExact(const std::string& text, std::string* out, int code_page = kAnsiCodePage);

// The same between UTF-16 and the code page, for names handed to a wide API
// or taken back from one.
bool AnsiToUtf16Exact(const std::string& text, std::u16string* out, int code_page = kAnsiCodePage);
bool Utf16ToAnsiExact(const std::u16string& text, std::string* out, int code_page = kAnsiCodePage);

// The code page of the path texts handed to the platform: kAnsiCodePage (the
// ANSI code page of the moment, which a string table's Locale sets) unless a
// program fixes another, as the authoring tool does with UTF-8 (65001). Set
// before any other thread runs.
void SetPathCodePage(int code_page);
int PathCodePage();

// Plain UTF-16 <-> UTF-8 (invalid input becomes U+FFFD).
std::string Utf16ToUtf8(const std::u16string& text);
std::u16string Utf8ToUtf16(const std::string& text);

// Upper case of one UTF-16 unit for case-blind name comparisons (registry
// names, version-resource keys): Latin, Greek and Cyrillic letters; anything
// else is returned as it is.
char16_t UpperUtf16(char16_t c);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_CODE_PAGE_H_
