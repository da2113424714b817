#include "app/unattended.h"

#include "app/host.h"
#include "app/update_driver.h"

namespace upkeep {

namespace {

class SilentHost : public UpdateHost {
 public:
  SilentHost(const StartupOptions& options, const std::string& logCopy)
      : options_(options), logCopy_(logCopy) {}

  bool SkipSpaceCheck() const override { return options_.skipSpaceCheck; }
  bool SkipShortcuts() const override { return options_.skipShortcuts; }
  bool Silent() const override { return true; }
  std::string LogCopyPath() const override { return logCopy_; }
  int ShowMessage(const std::string&, const std::string&, MessageIcon,
                  MessageButtons buttons) override {
    switch (buttons) {
      case MessageButtons::Ok:
        return kIdOk;
      case MessageButtons::RetryCancel:
        return kIdCancel;
      case MessageButtons::YesNo:
        return kIdNo;
    }
    return kIdCancel;
  }
  void Finished(UpdateOutcome outcome) override {
    outcome_ = outcome;
    finished_ = true;
  }
  void ShellOpen(const std::string&) override {}
  void SetProgress(int32_t, int32_t, const char*, const char*) override {}

  bool finished() const { return finished_; }
  UpdateOutcome outcome() const { return outcome_; }

 private:
  StartupOptions options_;
  std::string logCopy_;
  bool finished_ = false;
  UpdateOutcome outcome_ = UpdateOutcome::Failed;
};

}  // namespace

int RunSilently(const StartupOptions& options, const std::string& logCopy) {
  std::string text;
  std::string caption;
  if (!ClaimSingleInstance(&text, &caption)) {
    return ExitCodeAfterDialog(true, UpdateOutcome::Interrupted);
  }
  SilentHost host(options, logCopy);
  UpdateDriver(&host);
  // A driver that never reported has failed, whatever it did.
  return ExitCodeAfterDialog(true, host.finished() ? host.outcome() : UpdateOutcome::Failed);
}

}  // namespace upkeep
