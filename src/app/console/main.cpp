// upkeep on Linux: the updater with a terminal in place of its dialogs. The
// same start-up, guard and driver as the Windows program, in the same order.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "app/console/console_ui.h"
#include "app/console/prefix_choice.h"
#include "app/host.h"
#include "app/startup.h"
#include "app/unattended.h"
#include "app/stub_marker.h"
#include "app/update_driver.h"
#include "install/terms_text.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/shell_open.h"
#include "script/string_table.h"

// What upkeep-pack looks for in a stub; kept by the linker though unread.
[[gnu::used]] extern const char kUpkeepStubMarker[] = UPKEEP_STUB_MARKER;

namespace upkeep {
namespace {

std::string X(const char* token) { return std::string(ExpandText(token)); }

const char kStoppingText[] = "Stopping once this step is done...";

// Said when nobody can answer: started from a file manager or a launcher,
// or with its input closed.
const char kNoTerminalText[] =
    "This update asks its questions in a terminal, and none is there to answer them. Run it "
    "from a terminal, or with -force (no questions) or -silent (no questions, no output). "
    "Nothing was changed.";

// The caption a box gets when nothing else names it: the program's file name.
std::string ApplicationName() {
  const std::string path = GetProgramPath();
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

class ConsoleHost : public UpdateHost {
 public:
  ConsoleHost(ConsoleUi* ui, const StartupOptions& options, const std::string& logCopy)
      : ui_(ui), options_(options), logCopy_(logCopy) {}

  bool SkipSpaceCheck() const override { return options_.skipSpaceCheck; }
  bool SkipShortcuts() const override { return options_.skipShortcuts; }
  int ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon,
                  MessageButtons buttons) override {
    return ui_->MessageBox(text, caption, icon, buttons);
  }
  void Finished(UpdateOutcome outcome) override {
    // The progress page goes before the driver is told we are done with it.
    progressShown_ = false;
    ui_->EndProgress();
    outcome_ = outcome;
  }
  void ShellOpen(const std::string& path) override { ShellOpenFile(path, nullptr); }
  std::string LogCopyPath() const override { return logCopy_; }
  void SetProgress(int32_t overall, int32_t step, const char* operationText,
                   const char* fileName) override {
    // Like the dialog: no progress page, no effect.
    if (!progressShown_) return;
    // Ctrl-C was pressed: the step under way finishes before the run stops.
    if (InterruptPending()) operationText = kStoppingText;
    ui_->SetProgress(overall, step, operationText, fileName);
  }
  // Ctrl-C during a run stops it where running it again finishes it.
  bool StopRequested() const override { return InterruptPending(); }

  // One run on the worker thread; returns once the driver has returned, so
  // its log is closed before the process may end.
  UpdateOutcome Run() {
    outcome_ = UpdateOutcome::Failed;
    done_ = false;
    ui_->BeginProgress();
    progressShown_ = true;
    // Like the dialog's disabled buttons: nothing ends the process mid-run.
    HoldInterrupts(true);
    if (!StartThread(&ConsoleHost::Worker, this)) {
      HoldInterrupts(false);
      progressShown_ = false;
      ui_->EndProgress();
      ui_->MessageBox(X("&IDS_ERR_FATAL_ERROR&"), ApplicationName(), MessageIcon::Exclamation,
                      MessageButtons::Ok);
      return UpdateOutcome::Failed;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [this] { return done_; });
    HoldInterrupts(false);
    return outcome_;
  }

 private:
  static uint32_t Worker(void* self) {
    ConsoleHost* host = static_cast<ConsoleHost*>(self);
    UpdateDriver(host);
    std::lock_guard<std::mutex> lock(host->mutex_);
    host->done_ = true;
    host->finished_.notify_all();
    return 0;
  }

  ConsoleUi* ui_;
  StartupOptions options_;
  std::string logCopy_;
  UpdateOutcome outcome_ = UpdateOutcome::Failed;
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  // Set before the worker starts, cleared by its final notification (or when
  // it cannot start); only the worker reads it.
  bool progressShown_ = false;
};

// The terms step: true when accepted.
bool AcceptTerms(ConsoleUi* ui, const std::string& terms) {
  ui->ShowCaption(X("&IDS_TITLE_LICENCE&"));
  ui->ShowLongText(terms);
  return ui->Choose({X("&IDS_BTN_ACCEPT&"), X("&IDS_BTN_DECLINE&")}, 1) == 0;
}

// The main dialog: returns the process's exit code.
int MainDialog(ConsoleUi* ui, const StartupOptions& options, const std::string& logCopy) {
  ConsoleHost host(ui, options, logCopy);
  ui->ShowCaption(DialogCaption());
  if (options.force) {
    const UpdateOutcome outcome = host.Run();
    ui->ShowText(OutcomeText(outcome));
    return ExitCodeAfterDialog(true, outcome);
  }
  ui->ShowText(InfoText());
  bool canUpdate = true;
  for (;;) {
    // Close is the cancel of the dialog: what a terminal-less run gets.
    std::vector<std::string> labels;
    if (canUpdate) labels.push_back(X("&IDS_BTN_UPDATE&"));
    labels.push_back(X("&IDS_BTN_CLOSE&"));
    const size_t close = labels.size() - 1;
    if (ui->Choose(labels, close) == close) return kExitClose;
    if (ui->MessageBox(UpdateQuestion(), MessageCaption(), MessageIcon::Question,
                       MessageButtons::YesNo) != kIdYes) {
      continue;
    }
    const UpdateOutcome outcome = host.Run();
    ui->ShowText(OutcomeText(outcome));
    canUpdate = CanUpdateAgain(outcome);
  }
}

}  // namespace
}  // namespace upkeep

int main(int argc, char** argv) {
  using namespace upkeep;
  const ConsoleArguments arguments =
      SplitArguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  IgnoreBrokenPipes();
  // Ctrl-C outside a run ends the program as Close does.
  ExitOnInterrupt(kExitClose & 0xFF);
  bool hasPackage = false;
  std::string damaged;
  const StartupOptions options = BeginStartup(arguments.commandLine, &hasPackage, &damaged);
  if (options.help) {
    const std::string help = HelpText() + "\n";
    fwrite(help.data(), 1, help.size(), stdout);
    return 0;
  }
  if (options.version) {
    printf("%s\n", VersionText().c_str());
    return 0;
  }
  ConsoleUi ui(options.force);
  // A program that stops before any run still leaves its reason in the copy
  // of the log; a Windows path in it names the prefix given, searching none.
  const auto endEarly = [&](const std::string& text, int code) {
    if (options.log) {
      UseNamedPrefix(arguments);
      const std::string copy = PrepareLogCopy(options.logFile);
      if (!copy.empty()) WriteFinalStateCopy(copy, text);
    }
    fflush(stdout);
    return code;
  };
  if (!hasPackage) {
    if (!options.silent) {
      ui.MessageBox(damaged, ApplicationName(), MessageIcon::Error, MessageButtons::Ok);
    }
    return endEarly(damaged, kExitFailed);
  }
  if (!options.force && !StdinIsTerminal()) {
    fprintf(stderr, "%s\n", kNoTerminalText);
    return endEarly(kNoTerminalText, kExitNoAnswer);
  }
  // The machine is known before anything is shown or read from it.
  const int refused = SettlePrefix(&ui, arguments, options.force, options.silent);
  if (refused >= 0) return refused;
  std::string logCopy;
  if (options.log) {
    logCopy = PrepareLogCopy(options.logFile);
    if (logCopy.empty()) {
      // Said even with -silent: on a terminal nothing else would tell why.
      fprintf(stderr, "%s\n", LogCopyRefusal(options.logFile).c_str());
      return ExitCodeAfterDialog(true, UpdateOutcome::Failed);
    }
  }
  if (options.silent) return RunSilently(options, logCopy);
  if (!options.force) {
    std::string terms;
    if (LoadTermsText(&terms) && !AcceptTerms(&ui, terms)) {
      fflush(stdout);
      std::exit(0);
    }
  }
  EnsureSingleInstance([&ui](const std::string& text, const std::string& caption) {
    ui.MessageBox(text, caption, MessageIcon::Information, MessageButtons::Ok);
  });
  return MainDialog(&ui, options, logCopy) & 0xFF;
}
