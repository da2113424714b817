// Running out of memory while a script is parsed fails the parse; it never
// ends the process with an exception. Run in a child with a small address
// space limit, so the rest of the suite keeps its memory.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "script/script_parser.h"
#include "script/script_reader.h"

namespace upkeep {
namespace {

// Virtual size of this process in bytes, from /proc.
size_t AddressSpaceInUse() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long pages = 0;
  int got = std::fscanf(f, "%lu", &pages);
  std::fclose(f);
  return got == 1 ? pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

void ParseUnderALimit(const std::string& text) {
  std::unique_ptr<ScriptReader> reader = ScriptFromText(text, "big.scr");
  size_t in_use = AddressSpaceInUse();
  if (in_use == 0) std::_Exit(4);
  rlimit limit = {in_use + (32u << 20), in_use + (32u << 20)};
  if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(5);
  int error = 0;
  std::unique_ptr<ScriptProgram> program = ParseProgram(*reader, error);
  std::_Exit(error == 1 ? 0 : 3);
}

// AddressSanitizer reserves terabytes of shadow memory up front, so no
// address-space limit can be set under it.
#if defined(__SANITIZE_ADDRESS__)
#define UPKEEP_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UPKEEP_ADDRESS_SANITIZER 1
#endif
#endif

TEST(ScriptMemoryDeathTest, RunningOutOfMemoryFailsTheParse) {
#ifdef UPKEEP_ADDRESS_SANITIZER
  GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // About two million calls: far more than 32 MiB once parsed.
  std::string text = "!f(i)\r\n";
  text.reserve(24u << 20);
  for (int i = 0; i < 2000000; ++i) text += "f(1)\r\n";
  EXPECT_EXIT(ParseUnderALimit(text), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace upkeep
