#include "platform/code_page.h"

#include <cstdint>
#include <utility>

namespace upkeep {

namespace {

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(uint32_t cp, std::u16string* out) {
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
  }
}

}  // namespace

// Upper case of the letters a settings store is likely to hold: Latin, Greek
// and Cyrillic. Other characters compare as they are.
char16_t UpperUtf16(char16_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 32) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
  if (c == 0xFF) return 0x178;
  if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
    return static_cast<char16_t>(c & ~1u);
  }
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
    return (c % 2 == 0) ? static_cast<char16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? 0x3A3 : static_cast<char16_t>(c - 32);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 32);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 80);
  return c;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // lone surrogate
    }
    AppendUtf8(c, &out);
  }
  return out;
}

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    uint32_t b = p[i];
    size_t extra = b < 0x80             ? 0
                   : (b & 0xE0) == 0xC0 ? 1
                   : (b & 0xF0) == 0xE0 ? 2
                   : (b & 0xF8) == 0xF0 ? 3
                                        : 4;
    if (extra == 0) {
      out.push_back(static_cast<char16_t>(b));
      ++i;
      continue;
    }
    uint32_t cp = extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = extra < 4;
    if (ok) {
      for (size_t k = 1; k <= extra; ++k) {
        if (i + k >= n || (p[i + k] & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        cp = (cp << 6) | (p[i + k] & 0x3F);
      }
    }
    static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (ok && (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    AppendUtf16(cp, &out);
    i += extra + 1;
  }
  return out;
}

std::string AnsiToUtf8(const std::string& text, int code_page) {
  return Utf16ToUtf8(AnsiToUtf16(text, code_page));
}

std::string Utf8ToAnsi(const std::string& text, int code_page) {
  return Utf16ToAnsi(Utf8ToUtf16(text), code_page);
}

namespace {

bool IsAscii(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

// A conversion is exact when it comes back unchanged: that catches both the
// '?' stand-ins and best-fit mappings, whichever the system uses.
bool AnsiToUtf8Exact(const std::string& text, std::string* out, int code_page) {
  if (IsAscii(text)) {
    *out = text;
    return true;
  }
  std::u16string wide = AnsiToUtf16(text, code_page);
  bool exact = Utf16ToAnsi(wide, code_page) == text;
  *out = exact ? Utf16ToUtf8(wide) : std::string();
  return exact;
}

bool AnsiToUtf16Exact(const std::string& text, std::u16string* out, int code_page) {
  std::u16string wide = AnsiToUtf16(text, code_page);
  bool exact = Utf16ToAnsi(wide, code_page) == text;
  if (!exact) wide.clear();
  *out = std::move(wide);
  return exact;
}

bool Utf16ToAnsiExact(const std::u16string& text, std::string* out, int code_page) {
  std::string ansi = Utf16ToAnsi(text, code_page);
  bool exact = AnsiToUtf16(ansi, code_page) == text;
  if (!exact) ansi.clear();
  *out = std::move(ansi);
  return exact;
}

namespace {
int g_path_code_page = kAnsiCodePage;
}  // namespace

void SetPathCodePage(int code_page) { g_path_code_page = code_page; }
int PathCodePage() { return g_path_code_page; }

bool Utf8ToAnsiExact(const std::string& text, std::string* out, int code_page) {
  if (IsAscii(text)) {
    *out = text;
    return true;
  }
  std::u16string wide = Utf8ToUtf16(text);
  std::string ansi = Utf16ToAnsi(wide, code_page);
  // Not UTF-8, or a character without an equivalent.
  bool exact = Utf16ToUtf8(wide) == text && AnsiToUtf16(ansi, code_page) == wide;
  *out = exact ? ansi : std::string();
  return exact;
}

}  // namespace upkeep
