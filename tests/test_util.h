// Helpers shared by the unit tests.
#ifndef UPKEEP_TESTS_TEST_UTIL_H_
#define UPKEEP_TESTS_TEST_UTIL_H_

#include <cstdint>
#include <string>
#include <vector>

namespace upkeep {
namespace test {

// A fresh directory under the system's temporary folder, removed with its
// content when the object goes away. path() uses the platform's separator.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + separator + relative ('/' or '\' in relative are both fine).
  std::string Join(const std::string& relative) const;

 private:
  std::string path_;
};

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool WriteFileText(const std::string& path, const std::string& text);
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes);
std::string ReadFileText(const std::string& path);  // empty when unreadable
std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed);
// One deflate stream made by the system's zlib (windowBits as deflateInit2
// takes it: negative for raw deflate), as other tools make them.
std::vector<uint8_t> SystemDeflate(const std::vector<uint8_t>& in, int level, int windowBits,
                                   int memLevel = 8, int strategy = 0);

}  // namespace test
}  // namespace upkeep

#endif  // UPKEEP_TESTS_TEST_UTIL_H_
