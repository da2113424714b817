#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <vector>

#include "platform/code_page.h"
#include "platform/command_line.h"

namespace upkeep {

namespace {

UINT g_console_output_cp = 0;

void RestoreConsole() {
  if (g_console_output_cp != 0) SetConsoleOutputCP(g_console_output_cp);
}

std::string Utf8Of(const wchar_t* text) {
  std::u16string wide(reinterpret_cast<const char16_t*>(text));
  return Utf16ToUtf8(wide);
}

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) {
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return args;
  }
  for (int i = 1; i < count; ++i) args.push_back(Utf8Of(wide[i]));
  LocalFree(wide);
  return args;
}

void UseUtf8Console() {
  const UINT before = GetConsoleOutputCP();
  // No console (output to files or pipes only): the bytes go out as they are.
  if (before == 0 || before == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
  // The console's code page outlives the program: the shell that started it
  // gets its own back.
  g_console_output_cp = before;
  std::atexit(RestoreConsole);
}

int RunShellCommand(const std::string& command, const std::string& dir, std::string* problem) {
  wchar_t shell[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"ComSpec", shell, MAX_PATH);
  const bool found = n > 0 && n < MAX_PATH;
  std::wstring program = found ? std::wstring(shell, n) : L"cmd.exe";
  // cmd.exe /s /c takes everything between the first and the last quote as
  // the command, as it stands.
  std::u16string wide_command = Utf8ToUtf16(command);
  std::wstring line = L"\"" + program + L"\" /d /s /c \"" +
                      std::wstring(wide_command.begin(), wide_command.end()) + L"\"";
  std::wstring folder;
  if (!dir.empty()) {
    std::u16string wide_dir = Utf8ToUtf16(dir);
    folder.assign(wide_dir.begin(), wide_dir.end());
  }
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // Without ComSpec the system searches its folders for cmd.exe.
  if (!CreateProcessW(found ? program.c_str() : nullptr, buffer.data(), nullptr, nullptr, FALSE, 0,
                      nullptr, folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
    *problem = "cannot start " + Utf16ToUtf8(std::u16string(program.begin(), program.end())) +
               " (error " + std::to_string(GetLastError()) + ")";
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  const bool got = GetExitCodeProcess(process.hProcess, &code) != 0;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (!got) {
    *problem = "cannot read the command's exit code";
    return -1;
  }
  return static_cast<int>(code);
}

}  // namespace upkeep
