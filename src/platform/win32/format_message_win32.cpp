#include <windows.h>

#include "platform/format_message.h"

namespace upkeep {

namespace {
// What newer systems report for an empty result; older headers lack the name.
constexpr DWORD kNoWorkDone = 235;
}  // namespace

bool SystemFormatMessage(const char* templ, const char* const* args, std::string* out) {
  out->clear();
  DWORD_PTR values[kMaxMessageInserts];
  for (int i = 0; i < kMaxMessageInserts; ++i) values[i] = reinterpret_cast<DWORD_PTR>(args[i]);
  char* buffer = nullptr;
  SetLastError(ERROR_SUCCESS);
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      templ, 0, 0, reinterpret_cast<LPSTR>(&buffer), 0, reinterpret_cast<va_list*>(values));
  DWORD error = GetLastError();
  if (buffer != nullptr) {
    out->assign(buffer, length);
    LocalFree(buffer);
  }
  // An empty result is a success that the call reports as 0 characters.
  return length != 0 || error == ERROR_SUCCESS || error == kNoWorkDone;
}

}  // namespace upkeep
