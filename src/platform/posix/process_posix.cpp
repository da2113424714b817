#include <limits.h>
#include <pthread.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/process.h"

namespace upkeep {

namespace {

struct ThreadStart {
  uint32_t (*entry)(void*);
  void* arg;
};

void* ThreadMain(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.entry(start.arg);
  return nullptr;
}

class PosixProcess : public Process {
 public:
  std::string ProgramPath() override {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<size_t>(n));
  }

  bool StartThread(uint32_t (*entry)(void*), void* arg) override {
    ThreadStart* start = new (std::nothrow) ThreadStart{entry, arg};
    if (start == nullptr) return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, ThreadMain, start) != 0) {
      delete start;
      return false;
    }
    pthread_detach(thread);
    return true;
  }

  void Sleep(uint32_t ms) override {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

Process* DefaultProcess() {
  static PosixProcess process;
  return &process;
}

void DebugOutput(const char* text) {
  // Where a debugger or log reader looks on Linux; never the user's terminal.
  openlog("upkeep", LOG_PID, LOG_USER);
  syslog(LOG_DEBUG, "%s", text);
  closelog();
}

}  // namespace upkeep
