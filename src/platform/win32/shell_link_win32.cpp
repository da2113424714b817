#include <windows.h>
#include <objbase.h>
#include <shlguid.h>
#include <shlobj.h>

#include <vector>

#include "platform/shell_link.h"
#include "platform/win32/system_dll.h"

namespace upkeep {

namespace {

// Longer than any path the callers accept, so an over-long text is seen
// whole enough to be refused rather than cut to fit.
constexpr int kTextCapacity = 1024;

bool WidePath(const std::string& path, WCHAR (&wide)[MAX_PATH]) {
  return MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH) != 0;
}

class Win32ShellLink : public ShellLink {
 public:
  Win32ShellLink(IShellLinkA* link, IPersistFile* file) : link_(link), file_(file) {}
  ~Win32ShellLink() override {
    file_->Release();
    link_->Release();
  }

  bool Load(const std::string& path) override {
    WCHAR wide[MAX_PATH];
    return WidePath(path, wide) && SUCCEEDED(file_->Load(wide, STGM_READ));
  }
  bool Save(const std::string& path) override {
    WCHAR wide[MAX_PATH];
    return WidePath(path, wide) && SUCCEEDED(file_->Save(wide, TRUE));
  }

  bool GetPath(std::string* path) override {
    char buf[kTextCapacity] = {0};
    WIN32_FIND_DATAA data;
    if (FAILED(link_->GetPath(buf, kTextCapacity, &data, SLGP_SHORTPATH))) return false;
    *path = buf;
    return true;
  }
  bool GetArguments(std::string* arguments) override {
    char buf[kTextCapacity] = {0};
    if (FAILED(link_->GetArguments(buf, kTextCapacity))) return false;
    *arguments = buf;
    return true;
  }
  bool GetIconLocation(std::string* path, int32_t* index) override {
    char buf[kTextCapacity] = {0};
    int i = 0;
    if (FAILED(link_->GetIconLocation(buf, kTextCapacity, &i))) return false;
    *path = buf;
    *index = i;
    return true;
  }
  bool GetWorkingDirectory(std::string* directory) override {
    char buf[kTextCapacity] = {0};
    if (FAILED(link_->GetWorkingDirectory(buf, kTextCapacity))) return false;
    *directory = buf;
    return true;
  }

  bool SetPath(const std::string& path) override { return SUCCEEDED(link_->SetPath(path.c_str())); }
  bool SetArguments(const std::string& arguments) override {
    return SUCCEEDED(link_->SetArguments(arguments.c_str()));
  }
  bool SetIconLocation(const std::string& path, int32_t index) override {
    return SUCCEEDED(link_->SetIconLocation(path.c_str(), index));
  }
  bool SetWorkingDirectory(const std::string& directory) override {
    return SUCCEEDED(link_->SetWorkingDirectory(directory.c_str()));
  }

 private:
  IShellLinkA* link_;
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
  bool ok() const {
    return initialize != nullptr && uninitialize != nullptr && create_instance != nullptr;
  }
};

const Com& TheCom() {
  static const Com com;
  return com;
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
    IShellLinkA* link = nullptr;
    if (!TheCom().ok() ||
        FAILED(TheCom().create_instance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IShellLinkA, reinterpret_cast<void**>(&link)))) {
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
