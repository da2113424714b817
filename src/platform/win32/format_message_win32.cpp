#include <windows.h>

#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/format_message.h"

namespace upkeep {

namespace {
// What newer systems report for an empty result; older headers lack the name.
constexpr DWORD kNoWorkDone = 235;

std::wstring Wide(const char* text) {
  const std::u16string wide = AnsiToUtf16(text);
  return std::wstring(wide.begin(), wide.end());
}
}  // namespace

bool SystemFormatMessage(const char* templ, const char* const* args, std::string* out) {
  out->clear();
  // Through the W call, converted from the ANSI code page of the texts (the
  // string table's): the A call would convert with the system's, which need
  // not be the table's.
  const std::wstring wide_templ = Wide(templ);
  std::vector<std::wstring> wide_args;
  wide_args.reserve(kMaxMessageInserts);
  DWORD_PTR values[kMaxMessageInserts];
  for (int i = 0; i < kMaxMessageInserts; ++i) wide_args.push_back(Wide(args[i]));
  for (int i = 0; i < kMaxMessageInserts; ++i) {
    values[i] = reinterpret_cast<DWORD_PTR>(wide_args[static_cast<size_t>(i)].c_str());
  }
  wchar_t* buffer = nullptr;
  SetLastError(ERROR_SUCCESS);
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      wide_templ.c_str(), 0, 0, reinterpret_cast<LPWSTR>(&buffer), 0,
      reinterpret_cast<va_list*>(values));
  DWORD error = GetLastError();
  if (buffer != nullptr) {
    *out = Utf16ToAnsi(std::u16string(reinterpret_cast<const char16_t*>(buffer), length));
    LocalFree(buffer);
  }
  // An empty result is a success that the call reports as 0 characters.
  return length != 0 || error == ERROR_SUCCESS || error == kNoWorkDone;
}

}  // namespace upkeep
