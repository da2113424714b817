#include "platform/text.h"

namespace upkeep {

namespace {
int g_code_page = 1252;
}  // namespace

int ToUpperChar(int c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }
int ToLowerChar(int c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

void ToUpperInPlace(std::string* text) {
  for (char& ch : *text) ch = static_cast<char>(ToUpperChar(static_cast<unsigned char>(ch)));
}

void ToLowerInPlace(std::string* text) {
  for (char& ch : *text) ch = static_cast<char>(ToLowerChar(static_cast<unsigned char>(ch)));
}

int CompareNoCase(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    int cx = ToLowerChar(*x);
    int cy = ToLowerChar(*y);
    if (cx != cy || cx == 0) return cx - cy;
  }
}

bool SelectLocale(const char* name) {
  (void)name;
  return false;
}

int CurrentCodePage() { return g_code_page; }

}  // namespace upkeep
