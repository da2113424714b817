// Works the real updater's windows from outside, as a user would, for the
// tests under Wine: finds dialogs by caption, reads their controls, presses
// buttons and keys. It also writes the test packages (with the authoring
// writers) and loads DLLs for the planting control case.
//
//   upkeep_ui pack OUT STUB (--raw NAME FILE | --payload NAME FILE)...
//   upkeep_ui wait CAPTION [TIMEOUT_MS]      wait for a visible dialog
//   upkeep_ui gone CAPTION [TIMEOUT_MS]      wait until no such dialog is left
//   upkeep_ui dump CAPTION                   its controls, one per line
//   upkeep_ui click CAPTION ID               press an enabled, visible button
//   upkeep_ui key CAPTION esc|enter|tab      a key to the focused control
//   upkeep_ui command CAPTION ID             WM_COMMAND(ID) posted to the dialog
//   upkeep_ui sysclose CAPTION               the close box (SC_CLOSE)
//   upkeep_ui watch CAPTION UNTIL [TIMEOUT]  progress changes until UNTIL shows
//                                            after the progress page did
//   upkeep_ui waitop CAPTION TEXT [TIMEOUT]  wait until the operation label shows TEXT
//   upkeep_ui rect CAPTION                   window rectangle: x y width height
//   upkeep_ui activate CAPTION               bring the dialog to the front
//   upkeep_ui loadlib NAME                   LoadLibraryA(NAME): loaded or not
//   upkeep_ui nowindow MS                    fails if any other process shows a
//                                            window within MS milliseconds
//   upkeep_ui waitwin CAPTION [TIMEOUT_MS]   wait for any visible top-level window
//   upkeep_ui hold FILE MS                   keep FILE open, unshared, for MS ms
//                                            (as a running game holds its program)
//   upkeep_ui link LNK [TARGET]              print the shortcut's target, or make
//                                            LNK a shortcut to TARGET
//
// A CAPTION that starts with '~' matches any caption containing the rest.
// Texts are read from the windows as Unicode and given and printed as UTF-8,
// whatever the code page of the system. Exit code 0 on success, 1 on failure
// or timeout, 2 for bad usage.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "authoring/archive_writer.h"
#include "authoring/payload_writer.h"
#include "platform/win32/system_dll.h"

namespace {

std::string Utf8(const wchar_t* text, int length) {
  if (length <= 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], n, nullptr, nullptr);
  return out;
}

std::string TextOf(HWND hwnd) {
  // WM_GETTEXT reaches another process's edit control, GetWindowText does not.
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
    return std::string();
  }
  std::vector<wchar_t> buffer(length + 1);
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                           SMTO_ABORTIFHUNG, 2000, &got)) {
    return std::string();
  }
  return Utf8(buffer.data(), static_cast<int>(got));
}

std::string CaptionOf(HWND hwnd) {
  wchar_t caption[1024];
  int n = GetWindowTextW(hwnd, caption, 1024);
  return Utf8(caption, n);
}

std::string ClassOf(HWND hwnd) {
  wchar_t name[128];
  int n = GetClassNameW(hwnd, name, 128);
  return Utf8(name, n);
}

// Line breaks shown as \r and \n so each control stays on one output line.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

bool CaptionMatches(const std::string& caption, const std::string& wanted) {
  if (!wanted.empty() && wanted[0] == '~')
    return caption.find(wanted.substr(1)) != std::string::npos;
  return caption == wanted;
}

struct FindState {
  std::string wanted;
  HWND found;
  DWORD own_pid;
};

BOOL CALLBACK FindDialog(HWND hwnd, LPARAM param) {
  FindState* state = reinterpret_cast<FindState*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid == state->own_pid || !IsWindowVisible(hwnd)) return TRUE;
  if (ClassOf(hwnd) != "#32770") return TRUE;
  if (!CaptionMatches(CaptionOf(hwnd), state->wanted)) return TRUE;
  state->found = hwnd;
  return FALSE;
}

HWND FindTopDialog(const std::string& caption) {
  FindState state{caption, nullptr, GetCurrentProcessId()};
  EnumWindows(&FindDialog, reinterpret_cast<LPARAM>(&state));
  return state.found;
}

HWND WaitDialog(const std::string& caption, DWORD timeout_ms) {
  DWORD start = GetTickCount();
  for (;;) {
    HWND hwnd = FindTopDialog(caption);
    if (hwnd != nullptr) return hwnd;
    if (GetTickCount() - start > timeout_ms) return nullptr;
    Sleep(20);
  }
}

HWND RequireDialog(const std::string& caption) {
  HWND hwnd = WaitDialog(caption, 10000);
  if (hwnd == nullptr) std::fprintf(stderr, "no dialog \"%s\"\n", caption.c_str());
  return hwnd;
}

struct ChildList {
  std::vector<HWND> children;
};

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM param) {
  reinterpret_cast<ChildList*>(param)->children.push_back(hwnd);
  return TRUE;
}

std::vector<HWND> Descendants(HWND dialog) {
  ChildList list;
  EnumChildWindows(dialog, &CollectChild, reinterpret_cast<LPARAM>(&list));
  return list.children;
}

// A control anywhere below the dialog (the pages are child dialogs).
HWND FindControl(HWND dialog, int id) {
  for (HWND child : Descendants(dialog)) {
    if (GetDlgCtrlID(child) == id && ClassOf(child) != "#32770") return child;
  }
  return nullptr;
}

HWND FocusOf(HWND dialog) {
  GUITHREADINFO info;
  info.cbSize = sizeof(info);
  DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
  if (!GetGUIThreadInfo(thread, &info)) return nullptr;
  return info.hwndFocus;
}

void DumpControl(HWND control, HWND focus) {
  std::string cls = ClassOf(control);
  std::printf("ctl id=%d class=%s visible=%d enabled=%d focus=%d", GetDlgCtrlID(control),
              cls.c_str(), IsWindowVisible(control) ? 1 : 0, IsWindowEnabled(control) ? 1 : 0,
              control == focus ? 1 : 0);
  if (cls == "msctls_progress32") {
    DWORD_PTR pos = 0, low = 0, high = 0;
    SendMessageTimeoutA(control, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &pos);
    SendMessageTimeoutA(control, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, 2000, &low);
    SendMessageTimeoutA(control, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 2000, &high);
    LONG style = GetWindowLongA(control, GWL_STYLE);
    std::printf(" pos=%d range=%d..%d border=%d", static_cast<int>(pos), static_cast<int>(low),
                static_cast<int>(high), (style & WS_BORDER) ? 1 : 0);
  } else if (cls == "Edit") {
    DWORD_PTR sel = 0, top = 0;
    SendMessageTimeoutW(control, EM_GETSEL, 0, 0, SMTO_ABORTIFHUNG, 2000, &sel);
    SendMessageTimeoutW(control, EM_GETFIRSTVISIBLELINE, 0, 0, SMTO_ABORTIFHUNG, 2000, &top);
    LONG style = GetWindowLongW(control, GWL_STYLE);
    std::printf(" sel=%d..%d top=%d readonly=%d", static_cast<int>(LOWORD(sel)),
                static_cast<int>(HIWORD(sel)), static_cast<int>(top),
                (style & ES_READONLY) ? 1 : 0);
  }
  std::printf(" text=\"%s\"\n", Escaped(TextOf(control)).c_str());
}

int Dump(const std::string& caption) {
  HWND dialog = RequireDialog(caption);
  if (dialog == nullptr) return 1;
  HWND owner = GetWindow(dialog, GW_OWNER);
  // No icon here: Wine answers WM_GETICON (and WM_GETFONT) from another
  // process with a failure, so the tests read the icon of the X window.
  LONG style = GetWindowLongW(dialog, GWL_STYLE);
  std::printf("dialog caption=\"%s\" enabled=%d owned=%d minbox=%d\n",
              Escaped(CaptionOf(dialog)).c_str(), IsWindowEnabled(dialog) ? 1 : 0,
              owner != nullptr ? 1 : 0, (style & WS_MINIMIZEBOX) ? 1 : 0);
  HWND focus = FocusOf(dialog);
  for (HWND child : Descendants(dialog)) {
    if (ClassOf(child) == "#32770") {
      std::printf("page visible=%d\n", IsWindowVisible(child) ? 1 : 0);
      continue;
    }
    DumpControl(child, focus);
  }
  return 0;
}

int Click(const std::string& caption, int id) {
  HWND dialog = RequireDialog(caption);
  if (dialog == nullptr) return 1;
  HWND button = FindControl(dialog, id);
  if (button == nullptr || !IsWindowVisible(button) || !IsWindowEnabled(button)) {
    std::fprintf(stderr, "control %d of \"%s\" cannot be pressed\n", id, caption.c_str());
    return 1;
  }
  // Posted: the press may open a modal box that would block a sent message.
  PostMessageA(button, BM_CLICK, 0, 0);
  return 0;
}

int Key(const std::string& caption, const std::string& name) {
  HWND dialog = RequireDialog(caption);
  if (dialog == nullptr) return 1;
  WPARAM vk = 0;
  if (name == "esc") {
    vk = VK_ESCAPE;
  } else if (name == "enter") {
    vk = VK_RETURN;
  } else if (name == "tab") {
    vk = VK_TAB;
  } else {
    return 2;
  }
  HWND target = FocusOf(dialog);
  if (target == nullptr || (target != dialog && !IsChild(dialog, target))) target = dialog;
  UINT scan = MapVirtualKeyA(static_cast<UINT>(vk), 0);
  PostMessageA(target, WM_KEYDOWN, vk, 1 | (scan << 16));
  PostMessageA(target, WM_KEYUP, vk, 1 | (scan << 16) | (3u << 30));
  return 0;
}

struct BarState {
  int step = -1, overall = -1;
  std::string operation, file;
  bool operator!=(const BarState& o) const {
    return step != o.step || overall != o.overall || operation != o.operation || file != o.file;
  }
};

int Watch(const std::string& caption, const std::string& until, DWORD timeout_ms) {
  HWND dialog = RequireDialog(caption);
  if (dialog == nullptr) return 1;
  BarState last;
  bool seen_bars = false;
  DWORD start = GetTickCount();
  for (;;) {
    // Only a box that comes after the bars ends the watch: the question that
    // precedes a run may carry the same caption.
    if (seen_bars && FindTopDialog(until) != nullptr) return 0;
    if (!IsWindow(dialog)) {
      std::fprintf(stderr, "dialog went away\n");
      return 1;
    }
    if (GetTickCount() - start > timeout_ms) {
      std::fprintf(stderr, "no \"%s\" in time\n", until.c_str());
      return 1;
    }
    HWND step = FindControl(dialog, 1002);
    HWND overall = FindControl(dialog, 1003);
    if (step != nullptr && overall != nullptr) {
      seen_bars = true;
      BarState now;
      DWORD_PTR v = 0;
      if (SendMessageTimeoutA(step, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 500, &v)) {
        now.step = static_cast<int>(v);
      }
      if (SendMessageTimeoutA(overall, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 500, &v)) {
        now.overall = static_cast<int>(v);
      }
      HWND op = FindControl(dialog, 1004);
      HWND file = FindControl(dialog, 1005);
      if (op != nullptr) now.operation = TextOf(op);
      if (file != nullptr) now.file = TextOf(file);
      if (now != last) {
        std::printf("bars step=%d overall=%d operation=\"%s\" file=\"%s\"\n", now.step, now.overall,
                    Escaped(now.operation).c_str(), Escaped(now.file).c_str());
        std::fflush(stdout);
        last = now;
      }
    }
    Sleep(1);
  }
}

struct AnyWindow {
  std::string wanted;
  HWND found;
};

BOOL CALLBACK FindAnyWindow(HWND hwnd, LPARAM param) {
  AnyWindow* state = reinterpret_cast<AnyWindow*>(param);
  if (!IsWindowVisible(hwnd) || !CaptionMatches(CaptionOf(hwnd), state->wanted)) return TRUE;
  state->found = hwnd;
  return FALSE;
}

std::wstring WideOf(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  }
  return out;
}

int Hold(const std::string& file, DWORD ms) {
  HANDLE h = CreateFileW(WideOf(file).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot hold %s\n", file.c_str());
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  Sleep(ms);
  CloseHandle(h);
  return 0;
}

// The shell's own link object, as Explorer reads and writes shortcuts. COM
// is loaded from the system directory when asked for: a tool copied beside
// planted DLLs (the naive control) must still start.
int Link(const std::string& lnk, const char* target) {
  using InitializeFn = HRESULT(WINAPI*)(LPVOID);
  using UninitializeFn = void(WINAPI*)();
  using CreateInstanceFn = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
  const auto initialize = upkeep::SystemProc<InitializeFn>("ole32.dll", "CoInitialize");
  const auto uninitialize = upkeep::SystemProc<UninitializeFn>("ole32.dll", "CoUninitialize");
  const auto create = upkeep::SystemProc<CreateInstanceFn>("ole32.dll", "CoCreateInstance");
  using FreeFn = void(WINAPI*)(LPVOID);
  using PathFromItemsFn = BOOL(WINAPI*)(PCIDLIST_ABSOLUTE, LPWSTR);
  const auto free_memory = upkeep::SystemProc<FreeFn>("ole32.dll", "CoTaskMemFree");
  const auto path_from_items =
      upkeep::SystemProc<PathFromItemsFn>("shell32.dll", "SHGetPathFromIDListW");
  if (free_memory == nullptr || initialize == nullptr || uninitialize == nullptr ||
      create == nullptr || FAILED(initialize(nullptr))) {
    return 1;
  }
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  int rc = 1;
  if (SUCCEEDED(create(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                       reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    if (target != nullptr) {
      if (SUCCEEDED(link->SetPath(WideOf(target).c_str())) &&
          SUCCEEDED(file->Save(WideOf(lnk).c_str(), TRUE))) {
        rc = 0;
      }
    } else if (SUCCEEDED(file->Load(WideOf(lnk).c_str(), STGM_READ))) {
      // The item list names the target in UTF-16, as the shell resolves it;
      // GetPath may give the LinkInfo copy, which went through the ANSI code
      // page of whoever wrote it (Wine keeps only that), and names outside it
      // come back as stand-ins.
      wchar_t path[MAX_PATH] = {0};
      PIDLIST_ABSOLUTE items = nullptr;
      bool read = false;
      if (SUCCEEDED(link->GetIDList(&items)) && items != nullptr) {
        read = path_from_items != nullptr && path_from_items(items, path) && path[0] != 0;
        free_memory(items);
      }
      if (!read) read = SUCCEEDED(link->GetPath(path, MAX_PATH, nullptr, SLGP_RAWPATH));
      if (read) {
        std::printf("%s\n", Utf8(path, static_cast<int>(wcslen(path))).c_str());
        rc = 0;
      }
    }
  }
  if (file != nullptr) file->Release();
  if (link != nullptr) link->Release();
  uninitialize();
  return rc;
}

BOOL CALLBACK FindAnyVisible(HWND hwnd, LPARAM param) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid == GetCurrentProcessId() || !IsWindowVisible(hwnd)) return TRUE;
  *reinterpret_cast<HWND*>(param) = hwnd;
  return FALSE;
}

int NoWindow(DWORD ms) {
  DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    HWND shown = nullptr;
    EnumWindows(&FindAnyVisible, reinterpret_cast<LPARAM>(&shown));
    if (shown != nullptr) {
      std::printf("window class=%s caption=\"%s\"\n", ClassOf(shown).c_str(),
                  Escaped(CaptionOf(shown)).c_str());
      return 1;
    }
    Sleep(5);
  }
  return 0;
}

bool ReadHostFile(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

int Pack(int argc, char** argv) {
  if (argc < 4) return 2;
  std::vector<upkeep::ArchiveEntry> entries;
  for (int i = 4; i < argc; i += 3) {
    if (i + 2 >= argc) return 2;
    std::string kind = argv[i];
    upkeep::ArchiveEntry entry;
    entry.name = argv[i + 1];
    std::vector<uint8_t> bytes;
    if (!ReadHostFile(argv[i + 2], &bytes)) {
      std::fprintf(stderr, "cannot read %s\n", argv[i + 2]);
      return 1;
    }
    if (kind == "--raw") {
      entry.data = bytes;
    } else if (kind == "--payload") {
      entry.data = upkeep::EncodePayload(bytes);
      if (entry.data.empty()) return 1;
    } else {
      return 2;
    }
    entries.push_back(entry);
  }
  std::string error;
  if (!upkeep::WritePackageWithStubFile(argv[2], argv[3], entries, &error)) {
    std::fprintf(stderr, "pack: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int Main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string command = argv[1];
  std::string caption = argc > 2 ? argv[2] : "";
  if (command == "pack") return Pack(argc, argv);
  if (command == "loadlib" && argc == 3) {
    HMODULE dll = LoadLibraryA(argv[2]);
    std::printf("%s\n", dll != nullptr ? "loaded" : "not loaded");
    return 0;
  }
  if (command == "wait" && argc >= 3) {
    DWORD timeout = argc > 3 ? static_cast<DWORD>(std::atoi(argv[3])) : 10000;
    HWND hwnd = WaitDialog(caption, timeout);
    if (hwnd == nullptr) std::fprintf(stderr, "no dialog \"%s\"\n", caption.c_str());
    return hwnd != nullptr ? 0 : 1;
  }
  if (command == "gone" && argc >= 3) {
    DWORD timeout = argc > 3 ? static_cast<DWORD>(std::atoi(argv[3])) : 10000;
    DWORD start = GetTickCount();
    while (FindTopDialog(caption) != nullptr) {
      if (GetTickCount() - start > timeout) return 1;
      Sleep(20);
    }
    return 0;
  }
  if (command == "nowindow" && argc == 3) return NoWindow(static_cast<DWORD>(std::atoi(argv[2])));
  if (command == "hold" && argc == 4) return Hold(argv[2], static_cast<DWORD>(std::atoi(argv[3])));
  if (command == "link" && (argc == 3 || argc == 4))
    return Link(argv[2], argc == 4 ? argv[3] : nullptr);
  if (command == "waitwin" && argc >= 3) {
    DWORD timeout = argc > 3 ? static_cast<DWORD>(std::atoi(argv[3])) : 10000;
    DWORD start = GetTickCount();
    for (;;) {
      AnyWindow state{caption, nullptr};
      EnumWindows(&FindAnyWindow, reinterpret_cast<LPARAM>(&state));
      if (state.found != nullptr) return 0;
      if (GetTickCount() - start > timeout) return 1;
      Sleep(50);
    }
  }
  if (command == "dump" && argc == 3) return Dump(caption);
  if (command == "click" && argc == 4) return Click(caption, std::atoi(argv[3]));
  if (command == "key" && argc == 4) return Key(caption, argv[3]);
  if (command == "command" && argc == 4) {
    HWND dialog = RequireDialog(caption);
    if (dialog == nullptr) return 1;
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(std::atoi(argv[3]), BN_CLICKED), 0);
    return 0;
  }
  if (command == "sysclose" && argc == 3) {
    HWND dialog = RequireDialog(caption);
    if (dialog == nullptr) return 1;
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    return 0;
  }
  if (command == "watch" && argc >= 4) {
    DWORD timeout = argc > 4 ? static_cast<DWORD>(std::atoi(argv[4])) : 30000;
    return Watch(caption, argv[3], timeout);
  }
  if (command == "waitop" && argc >= 4) {
    HWND dialog = RequireDialog(caption);
    if (dialog == nullptr) return 1;
    DWORD timeout = argc > 4 ? static_cast<DWORD>(std::atoi(argv[4])) : 30000;
    DWORD start = GetTickCount();
    for (;;) {
      HWND label = FindControl(dialog, 1004);
      if (label != nullptr && TextOf(label) == argv[3]) return 0;
      if (GetTickCount() - start > timeout || !IsWindow(dialog)) return 1;
      Sleep(1);
    }
  }
  if (command == "activate" && argc == 3) {
    HWND dialog = RequireDialog(caption);
    if (dialog == nullptr) return 1;
    SetForegroundWindow(dialog);
    return 0;
  }
  if (command == "rect" && argc == 3) {
    HWND dialog = RequireDialog(caption);
    if (dialog == nullptr) return 1;
    RECT r;
    GetWindowRect(dialog, &r);
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return 0;
  }
  return 2;
}

// The command line split as the C run-time splits it (quotes group, a
// backslash before a quote escapes it), from the wide command line: in UTF-8,
// a caption in any script reaches the tool whatever the code page.
std::vector<std::string> Arguments() {
  const wchar_t* p = GetCommandLineW();
  std::vector<std::string> args;
  for (;;) {
    while (*p == L' ' || *p == L'\t') ++p;
    if (*p == 0) break;
    std::wstring arg;
    bool quoted = false;
    for (;;) {
      size_t slashes = 0;
      while (*p == L'\\') {
        ++slashes;
        ++p;
      }
      if (*p == L'"') {
        arg.append(slashes / 2, L'\\');
        if (slashes % 2 == 1) {
          arg += L'"';
        } else {
          quoted = !quoted;
        }
        ++p;
        continue;
      }
      arg.append(slashes, L'\\');
      if (*p == 0 || (!quoted && (*p == L' ' || *p == L'\t'))) break;
      arg += *p++;
    }
    args.push_back(Utf8(arg.data(), static_cast<int>(arg.size())));
  }
  return args;
}

int main() {
  std::vector<std::string> args = Arguments();
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return Main(static_cast<int>(args.size()), argv.data());
}
