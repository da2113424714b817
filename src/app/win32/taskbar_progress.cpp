#include "app/win32/taskbar_progress.h"

#include <objbase.h>
#include <shobjidl.h>

#include "platform/win32/system_dll.h"

namespace upkeep {

namespace {

// COM comes from ole32, loaded from the system directory when first needed.
using InitializeFn = HRESULT(WINAPI*)(LPVOID);
using UninitializeFn = void(WINAPI*)();
using CreateInstanceFn = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);

}  // namespace

TaskbarProgress::TaskbarProgress(HWND window) : window_(window) {
  static const InitializeFn initialize = SystemProc<InitializeFn>("ole32.dll", "CoInitialize");
  com_ = initialize != nullptr && SUCCEEDED(initialize(nullptr));
}

TaskbarProgress::~TaskbarProgress() {
  if (list_ != nullptr) list_->Release();
  static const UninitializeFn uninitialize =
      SystemProc<UninitializeFn>("ole32.dll", "CoUninitialize");
  if (com_ && uninitialize != nullptr) uninitialize();
}

bool TaskbarProgress::Connect() {
  if (list_ != nullptr) return true;
  static const CreateInstanceFn create =
      SystemProc<CreateInstanceFn>("ole32.dll", "CoCreateInstance");
  if (!com_ || create == nullptr) return false;
  ITaskbarList3* list = nullptr;
  if (FAILED(create(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                    reinterpret_cast<void**>(&list)))) {
    return false;
  }
  if (FAILED(list->HrInit())) {
    list->Release();
    return false;
  }
  list_ = list;
  return true;
}

void TaskbarProgress::SetPercent(int percent) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  if (percent == shown_ || !Connect()) return;
  if (shown_ < 0) list_->SetProgressState(window_, TBPF_NORMAL);
  list_->SetProgressValue(window_, static_cast<ULONGLONG>(percent), 100);
  shown_ = percent;
}

void TaskbarProgress::Finish(End end) {
  if (!Connect()) return;
  switch (end) {
    case End::kNone:
      list_->SetProgressState(window_, TBPF_NOPROGRESS);
      break;
    case End::kError:
      list_->SetProgressValue(window_, 100, 100);
      list_->SetProgressState(window_, TBPF_ERROR);
      break;
    case End::kPaused:
      list_->SetProgressState(window_, TBPF_PAUSED);
      break;
  }
  shown_ = -1;
}

void TaskbarProgress::Reconnect() {
  if (list_ != nullptr) list_->Release();
  list_ = nullptr;
  shown_ = -1;
}

}  // namespace upkeep
