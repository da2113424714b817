// The application object and the program's entry: start-up in its fixed order
// (package, string table, options, terms, single-instance guard, main dialog).
#include <windows.h>
#include <commctrl.h>

#include "app/startup.h"
#include "app/stub_marker.h"
#include "app/unattended.h"
#include "app/win32/dialog.h"
#include "app/win32/terms_dialog.h"
#include "app/win32/update_dlg.h"
#include "install/terms_text.h"
#include "platform/process.h"
#include "platform/win32/system_dll.h"

// What upkeep-pack looks for in a stub; kept by the linker though unread.
[[gnu::used]] extern const char kUpkeepStubMarker[] = UPKEEP_STUB_MARKER;

namespace upkeep {

class CUpdateApp : public CWinApp {
 public:
  BOOL InitInstance() override;
};

namespace {

CUpdateApp theApp;

void ShowRefusal(const std::string& text, const std::string& caption) {
  ShowBox(GetDesktopWindow(), text, caption, MB_ICONINFORMATION | MB_OK);
}

// The progress bars' window class lives in comctl32, which is not a KnownDLL:
// it is loaded from the system (or the manifest's side-by-side copy), never
// imported, so a comctl32.dll beside the program is never looked at.
void InitCommonControlsFromSystem() {
  HMODULE dll = LoadSystemLibrary("comctl32.dll");
  if (dll == nullptr) return;
  using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  auto init = reinterpret_cast<InitFn>(
      reinterpret_cast<void*>(GetProcAddress(dll, "InitCommonControlsEx")));
  if (init == nullptr) return;
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  init(&icc);
}

// The program's own file name, for the one box shown before any text of the
// package is there.
std::string ProgramFileName() {
  const std::string path = GetProgramPath();
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A program of the GUI subsystem has no console of its own: the version goes
// to standard output when it has one (redirected, or a terminal under Wine),
// else to the console of the program that started it, else into a box.
void ShowVersion() {
  const std::string text = VersionText() + "\r\n";
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  if (out != nullptr && out != INVALID_HANDLE_VALUE &&
      WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    return;
  }
  if (AttachConsole(ATTACH_PARENT_PROCESS)) {
    out = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    BOOL ok = FALSE;
    if (out != INVALID_HANDLE_VALUE) {
      ok = WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
      CloseHandle(out);
    }
    FreeConsole();
    if (ok) return;
  }
  ShowBox(nullptr, VersionText(), ProgramFileName(), MB_ICONINFORMATION | MB_OK);
}

}  // namespace

BOOL CUpdateApp::InitInstance() {
  bool hasPackage = false;
  std::string damaged;
  const StartupOptions options =
      BeginStartup(m_lpCmdLine != nullptr ? m_lpCmdLine : "", &hasPackage, &damaged);
  // Only for a run that may show a window: loading the controls starts the
  // window system (under Wine its desktop process), which -silent never uses.
  if (!options.silent || options.help || options.version) InitCommonControlsFromSystem();
  if (options.help) {
    // Asked for by name, so shown even with -silent.
    ShowBox(nullptr, HelpText(), MessageCaption(), MB_ICONINFORMATION | MB_OK);
    m_nExitCode = 0;
    return FALSE;
  }
  if (options.version) {
    // Before the package is looked at: a bare stub has a version too.
    ShowVersion();
    m_nExitCode = 0;
    return FALSE;
  }
  // The copy of the log is made first, so that whoever reads it learns why
  // even a damaged download did nothing.
  std::string logCopy;
  if (options.log) {
    logCopy = PrepareLogCopy(options.logFile);
    if (logCopy.empty()) {
      if (!options.silent) {
        ShowBox(nullptr, LogCopyRefusal(options.logFile),
                hasPackage ? MessageCaption() : ProgramFileName(), MB_ICONERROR | MB_OK);
      }
      m_nExitCode = ExitCodeAfterDialog(true, UpdateOutcome::Failed);
      return FALSE;
    }
  }
  if (!hasPackage) {
    if (!logCopy.empty()) WriteFinalStateCopy(logCopy, damaged);
    if (!options.silent) {
      ShowBox(nullptr, damaged, ProgramFileName(), MB_ICONERROR | MB_OK);
    }
    m_nExitCode = kExitFailed;
    return FALSE;
  }
  if (options.silent) {
    m_nExitCode = RunSilently(options, logCopy);
    return FALSE;
  }

  CUpdateDlg dlg;
  dlg.m_bForce = options.force;
  dlg.m_bSkipSpaceCheck = options.skipSpaceCheck;
  dlg.m_bSkipShortcuts = options.skipShortcuts;
  dlg.m_strLogCopy = logCopy;
  m_pMainWnd = &dlg;

  if (!options.force) {
    TermsDialog terms;
    if (LoadTermsText(&terms.termsText) && terms.DoModal() != IDOK) {
      // Declined: nothing has been read or written yet.
      ExitProcess(0);
    }
  }
  EnsureSingleInstance(&ShowRefusal);

  dlg.DoModal();
  m_nExitCode = ExitCodeAfterDialog(dlg.RunCount() > 0, dlg.LastOutcome());
  m_pMainWnd = nullptr;
  return FALSE;
}

}  // namespace upkeep

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR cmdLine, int) {
  upkeep::RestrictDllSearchToSystem();
  upkeep::CWinApp* app = upkeep::AfxGetApp();
  app->m_lpCmdLine = cmdLine;
  app->InitInstance();
  return app->m_nExitCode;
}
