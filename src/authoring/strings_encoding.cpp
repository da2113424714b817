#include "authoring/strings_encoding.h"

#include <cstdio>

#include "platform/code_page.h"

namespace upkeep {

namespace {

bool HasNonAscii(const std::vector<uint8_t>& bytes) {
  for (uint8_t b : bytes) {
    if (b >= 0x80) return true;
  }
  return false;
}

// Text in the code page seldom passes for UTF-8: its letters outside ASCII
// would have to come in exact lead and trail byte pairs.
bool IsUtf8(const std::string& text) { return Utf16ToUtf8(Utf8ToUtf16(text)) == text; }

// Length of the UTF-8 sequence a lead byte starts.
size_t SequenceLength(uint8_t lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  return 4;
}

}  // namespace

bool DropByteOrderMark(std::vector<uint8_t>* bytes, const std::string& shown_as,
                       std::vector<std::string>* notes, std::string* error) {
  if (bytes->size() >= 2 && (((*bytes)[0] == 0xFF && (*bytes)[1] == 0xFE) ||
                             ((*bytes)[0] == 0xFE && (*bytes)[1] == 0xFF))) {
    *error = shown_as +
             " is UTF-16 (\"Unicode\"), which the updater cannot read: save it as UTF-8 or in "
             "the code page of its Locale";
    return false;
  }
  if (bytes->size() >= 3 && (*bytes)[0] == 0xEF && (*bytes)[1] == 0xBB && (*bytes)[2] == 0xBF) {
    bytes->erase(bytes->begin(), bytes->begin() + 3);
    notes->push_back(shown_as +
                     " starts with a UTF-8 byte-order mark, which the updater would "
                     "take for text: it was left out");
  }
  return true;
}

bool ToCodePage(std::vector<uint8_t>* bytes, int code_page, const std::string& shown_as,
                std::vector<std::string>* notes, std::string* error) {
  const std::string text(bytes->begin(), bytes->end());
  if (!HasNonAscii(*bytes) || !IsUtf8(text)) return true;
  std::string converted;
  if (Utf8ToAnsiExact(text, &converted, code_page)) {
    bytes->assign(converted.begin(), converted.end());
    notes->push_back(shown_as + " is UTF-8: its texts were converted to code page " +
                     std::to_string(code_page) + ", which the updater reads (its Locale)");
    return true;
  }
  // The first character the code page lacks, with its line and column.
  size_t line = 1, column = 1;
  for (size_t at = 0; at < text.size();) {
    const size_t n = SequenceLength(static_cast<uint8_t>(text[at]));
    const std::string character = text.substr(at, n);
    std::string one;
    if (!Utf8ToAnsiExact(character, &one, code_page)) {
      const std::u16string wide = Utf8ToUtf16(character);
      uint32_t cp = wide.empty() ? 0 : wide[0];
      if (wide.size() == 2) cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[1] - 0xDC00);
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
      *error = shown_as + ":" + std::to_string(line) + ":" + std::to_string(column) + ": '" +
               character + "' (" + code + ") is not in code page " + std::to_string(code_page) +
               ", in which the updater shows the texts (the table's Locale; 1252 without one): "
               "write it with characters of that code page, or choose a Locale whose code page "
               "has it";
      return false;
    }
    if (text[at] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
    at += n;
  }
  *error = shown_as + " cannot be converted to code page " + std::to_string(code_page);
  return false;
}

}  // namespace upkeep
