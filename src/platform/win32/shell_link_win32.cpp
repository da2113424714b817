#include <windows.h>
#include <objbase.h>
#include <shlguid.h>
#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "platform/code_page.h"
#include "platform/shell_link.h"
#include "platform/win32/system_dll.h"
#include "platform/win32/wide_path.h"

namespace upkeep {

namespace {

// Longer than any path the callers accept, so an over-long text is seen
// whole enough to be refused rather than cut to fit.
constexpr int kTextCapacity = 1024;

// Link texts are paths and arguments in the path code page; the link object
// takes and gives them in UTF-16, converted exactly: a name the code page
// cannot spell is refused, never written with stand-ins.
bool ToWide(const std::string& text, std::wstring* out) {
  std::u16string wide;
  if (!AnsiToUtf16Exact(text, &wide, PathCodePage())) return false;
  out->assign(wide.begin(), wide.end());
  return true;
}

bool FromWide(const wchar_t* text, std::string* out) {
  return win32::NarrowPath(text, wcslen(text), out);
}

class Win32ShellLink : public ShellLink {
 public:
  Win32ShellLink(IShellLinkW* link, IPersistFile* file) : link_(link), file_(file) {}
  ~Win32ShellLink() override {
    file_->Release();
    link_->Release();
  }

  bool Load(const std::string& path) override {
    std::wstring wide;
    return win32::WidePath(path, &wide) && SUCCEEDED(file_->Load(wide.c_str(), STGM_READ));
  }
  bool Save(const std::string& path) override {
    std::wstring wide;
    return win32::WidePath(path, &wide) && SUCCEEDED(file_->Save(wide.c_str(), TRUE));
  }

  bool GetPath(std::string* path) override {
    std::wstring listed;
    if (PathFromItemList(&listed)) return FromWide(listed.c_str(), path);
    wchar_t buf[kTextCapacity] = {0};
    WIN32_FIND_DATAW data;
    if (FAILED(link_->GetPath(buf, kTextCapacity, &data, SLGP_SHORTPATH))) return false;
    return FromWide(buf, path);
  }
  bool GetArguments(std::string* arguments) override {
    wchar_t buf[kTextCapacity] = {0};
    if (FAILED(link_->GetArguments(buf, kTextCapacity))) return false;
    return FromWide(buf, arguments);
  }
  bool GetIconLocation(std::string* path, int32_t* index) override {
    wchar_t buf[kTextCapacity] = {0};
    int i = 0;
    if (FAILED(link_->GetIconLocation(buf, kTextCapacity, &i))) return false;
    *index = i;
    return FromWide(buf, path);
  }
  bool GetWorkingDirectory(std::string* directory) override {
    wchar_t buf[kTextCapacity] = {0};
    if (FAILED(link_->GetWorkingDirectory(buf, kTextCapacity))) return false;
    return FromWide(buf, directory);
  }

  bool SetPath(const std::string& path) override {
    std::wstring wide;
    return ToWide(path, &wide) && SUCCEEDED(link_->SetPath(wide.c_str()));
  }
  bool SetArguments(const std::string& arguments) override {
    std::wstring wide;
    return ToWide(arguments, &wide) && SUCCEEDED(link_->SetArguments(wide.c_str()));
  }
  bool SetIconLocation(const std::string& path, int32_t index) override {
    std::wstring wide;
    return ToWide(path, &wide) && SUCCEEDED(link_->SetIconLocation(wide.c_str(), index));
  }
  bool SetWorkingDirectory(const std::string& directory) override {
    std::wstring wide;
    return ToWide(directory, &wide) && SUCCEEDED(link_->SetWorkingDirectory(wide.c_str()));
  }

 private:
  // The target the item list names, in UTF-16 throughout. GetPath may answer
  // from the LinkInfo copy, stored in the ANSI code page of the machine that
  // wrote it (Wine keeps nothing else), where a name of another code page
  // has become a look-alike. False for a list that names no file-system
  // path; GetPath then decides.
  bool PathFromItemList(std::wstring* out);

  IShellLinkW* link_;
  IPersistFile* file_;
};

// Which Begin() calls on this thread initialised COM, so that End() undoes
// only those: an uninitialise without its initialise would unbalance the
// thread's COM state.
thread_local std::vector<bool> t_initialised;

// COM lives in ole32, taken from the system directory when first needed.
struct Com {
  using InitializeFn = HRESULT(WINAPI*)(LPVOID);
  using UninitializeFn = void(WINAPI*)();
  using CreateInstanceFn = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
  InitializeFn initialize = SystemProc<InitializeFn>("ole32.dll", "CoInitialize");
  UninitializeFn uninitialize = SystemProc<UninitializeFn>("ole32.dll", "CoUninitialize");
  CreateInstanceFn create_instance = SystemProc<CreateInstanceFn>("ole32.dll", "CoCreateInstance");
  using FreeFn = void(WINAPI*)(LPVOID);
  using PathFromItemsFn = BOOL(WINAPI*)(PCIDLIST_ABSOLUTE, LPWSTR);
  FreeFn free_memory = SystemProc<FreeFn>("ole32.dll", "CoTaskMemFree");
  PathFromItemsFn path_from_items =
      SystemProc<PathFromItemsFn>("shell32.dll", "SHGetPathFromIDListW");
  bool ok() const {
    return initialize != nullptr && uninitialize != nullptr && create_instance != nullptr;
  }
};

const Com& TheCom() {
  static const Com com;
  return com;
}

bool Win32ShellLink::PathFromItemList(std::wstring* out) {
  const Com& com = TheCom();
  if (com.free_memory == nullptr || com.path_from_items == nullptr) return false;
  PIDLIST_ABSOLUTE items = nullptr;
  if (FAILED(link_->GetIDList(&items)) || items == nullptr) return false;
  wchar_t buf[MAX_PATH] = {0};
  bool ok = com.path_from_items(items, buf) && buf[0] != 0;
  com.free_memory(items);
  if (ok) out->assign(buf);
  return ok;
}

class Win32ShellLinks : public ShellLinks {
 public:
  bool Begin() override {
    bool ok = TheCom().ok() && SUCCEEDED(TheCom().initialize(nullptr));
    t_initialised.push_back(ok);
    return ok;
  }
  void End() override {
    if (t_initialised.empty()) return;
    bool ok = t_initialised.back();
    t_initialised.pop_back();
    if (ok) TheCom().uninitialize();
  }
  std::unique_ptr<ShellLink> Create() override {
    IShellLinkW* link = nullptr;
    if (!TheCom().ok() ||
        FAILED(TheCom().create_instance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IShellLinkW, reinterpret_cast<void**>(&link)))) {
      return nullptr;
    }
    IPersistFile* file = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
      link->Release();
      return nullptr;
    }
    return std::unique_ptr<ShellLink>(new Win32ShellLink(link, file));
  }
};

}  // namespace

ShellLinks* DefaultShellLinks() {
  static Win32ShellLinks links;
  return &links;
}

}  // namespace upkeep
