#include "install/terms_text.h"

#include <cstring>
#include <vector>

#include "package/package.h"

namespace upkeep {

namespace {

// Far beyond any licence; a bigger file is shown as one that cannot be read
// rather than taken whole into memory.
constexpr int32_t kMaxTermsText = 16 << 20;

}  // namespace

bool LoadTermsText(std::string* destination) {
  PackageFile* file = OpenPackageFile("umowa.txt", "rb");
  if (file == nullptr) return false;
  SeekPackageFile(file, 0, 2);
  const int32_t size = TellPackageFile(file);
  SeekPackageFile(file, 0, 0);
  std::string text;
  if (size > 0 && size <= kMaxTermsText) {
    std::vector<char> buffer(static_cast<size_t>(size) + 1, '\0');
    if (ReadPackageFile(buffer.data(), static_cast<size_t>(size), 1, file) == 1) {
      // The text is held as one string: a NUL inside ends it.
      text.assign(buffer.data(), strnlen(buffer.data(), static_cast<size_t>(size)));
    }
  }
  ClosePackageFile(file);
  *destination = text;
  return true;
}

}  // namespace upkeep
