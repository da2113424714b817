#include <windows.h>

#include "platform/code_page.h"
#include "platform/text.h"

namespace upkeep {

namespace {
// The ANSI code page is the string table's once it selected a locale, so its
// texts and names read the same on every Windows; before that, the system's.
UINT Resolve(int code_page) {
  if (code_page != kAnsiCodePage) return static_cast<UINT>(code_page);
  const int selected = SelectedCodePage();
  return selected != 0 ? static_cast<UINT>(selected) : CP_ACP;
}
}  // namespace

std::string Utf16ToAnsi(const std::u16string& text, int code_page) {
  if (text.empty()) return std::string();
  const wchar_t* src = reinterpret_cast<const wchar_t*>(text.data());
  int n = WideCharToMultiByte(Resolve(code_page), 0, src, static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(Resolve(code_page), 0, src, static_cast<int>(text.size()), &out[0], n,
                      nullptr, nullptr);
  return out;
}

std::u16string AnsiToUtf16(const std::string& text, int code_page) {
  if (text.empty()) return std::u16string();
  int n = MultiByteToWideChar(Resolve(code_page), 0, text.data(), static_cast<int>(text.size()),
                              nullptr, 0);
  if (n <= 0) return std::u16string();
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(Resolve(code_page), 0, text.data(), static_cast<int>(text.size()),
                      reinterpret_cast<wchar_t*>(&out[0]), n);
  return out;
}

}  // namespace upkeep
