#include <windows.h>

#include "platform/code_page.h"

namespace upkeep {

namespace {
UINT Resolve(int code_page) {
  return code_page == kAnsiCodePage ? CP_ACP : static_cast<UINT>(code_page);
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
