#include <string>

#include "package/package.h"
#include "platform/text.h"

namespace upkeep {

void ResolvePackagePath(std::string* path) {
  std::string& s = *path;
  for (char& c : s) {
    if (c == '/') c = '\\';
  }
  // Each pass removes at least three characters, so this ends; paths are short.
  for (size_t p = s.find("..\\"); p != std::string::npos; p = s.find("..\\")) {
    size_t cut = 0;
    if (p > 0) {
      // Skip the separator just before "..", then walk back to the one
      // before the segment being cancelled. Index 0 is never examined.
      long i = static_cast<long>(p) - 2;
      while (i > 0 && s[static_cast<size_t>(i)] != '\\') --i;
      if (i > 0) cut = static_cast<size_t>(i) + 1;
    }
    s.erase(cut, p + 3 - cut);
  }
}

void NormalizePackagePath(std::string* path) {
  ResolvePackagePath(path);
  ToUpperInPlace(path);
}

}  // namespace upkeep
