#include "platform/wine_registry_file.h"

#include <cstdlib>
#include <cstring>

#include "platform/code_page.h"

namespace upkeep {

namespace {

constexpr char kHeader[] = "WINE REGISTRY Version 2";

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Decodes one raw byte sequence that Wine itself would have escaped (a hand
// edited hive): UTF-8 when it is valid, otherwise the byte as Latin-1.
size_t DecodeRaw(const std::string& line, size_t pos, char16_t* out) {
  unsigned char b = static_cast<unsigned char>(line[pos]);
  size_t extra = (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : 0;
  if (extra > 0 && pos + extra < line.size()) {
    uint32_t cp = extra == 1 ? (b & 0x1F) : (b & 0x0F);
    bool ok = true;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char n = static_cast<unsigned char>(line[pos + k]);
      if ((n & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (n & 0x3F);
    }
    if (ok && cp >= (extra == 1 ? 0x80u : 0x800u) && (cp < 0xD800 || cp > 0xDFFF)) {
      *out = static_cast<char16_t>(cp);
      return extra + 1;
    }
  }
  *out = b;
  return 1;
}

class LineReader {
 public:
  explicit LineReader(const std::string& text) : text_(text) {}
  // The next line without its end, cut at a NUL byte as a C reader would.
  bool Next(std::string* line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    size_t next = end == std::string::npos ? text_.size() : end + 1;
    if (end == std::string::npos) end = text_.size();
    size_t stop = end;
    if (stop > pos_ && text_[stop - 1] == '\r') --stop;
    const void* nul = memchr(text_.data() + pos_, 0, stop - pos_);
    if (nul != nullptr) stop = static_cast<size_t>(static_cast<const char*>(nul) - text_.data());
    line->assign(text_, pos_, stop - pos_);
    pos_ = next;
    return true;
  }

 private:
  const std::string& text_;
  size_t pos_ = 0;
};

size_t SkipSpaces(const std::string& s, size_t pos) {
  while (pos < s.size() && IsSpace(s[pos])) ++pos;
  return pos;
}

// Comma-separated hex bytes; a line ending in '\' goes on with the next line.
bool ParseHexData(const std::string& first, size_t pos, LineReader* reader,
                  std::vector<uint8_t>* out) {
  std::string line = first;
  for (;;) {
    while (pos < line.size() && IsHex(line[pos])) {
      int v = HexValue(line[pos++]);
      if (pos < line.size() && IsHex(line[pos])) v = v * 16 + HexValue(line[pos++]);
      out->push_back(static_cast<uint8_t>(v));
      pos = SkipSpaces(line, pos);
      if (pos < line.size() && line[pos] == ',') ++pos;
      pos = SkipSpaces(line, pos);
    }
    pos = SkipSpaces(line, pos);
    if (pos >= line.size()) return true;
    if (line[pos] != '\\') return false;
    if (!reader->Next(&line)) return false;
    pos = SkipSpaces(line, 0);
  }
}

struct DataTag {
  const char* tag;
  uint32_t type;
  bool text;  // quoted string follows
};

const DataTag kTags[] = {
    {"\"", kRegSz, true},
    {"str:\"", kRegSz, true},
    {"str(2):\"", kRegExpandSz, true},
    {"str(7):\"", kRegMultiSz, true},
    {"hex:", kRegBinary, false},
    {"dword:", kRegDword, false},
};

bool StartsWith(const std::string& s, size_t pos, const char* prefix) {
  size_t n = strlen(prefix);
  return s.size() - pos >= n && s.compare(pos, n, prefix) == 0;
}

void PutUtf16(const std::u16string& text, std::vector<uint8_t>* out) {
  out->clear();
  for (char16_t c : text) {
    out->push_back(static_cast<uint8_t>(c & 0xFF));
    out->push_back(static_cast<uint8_t>(c >> 8));
  }
  out->push_back(0);
  out->push_back(0);
}

// The data after "name=": false when it is malformed.
bool ParseData(const std::string& line, size_t pos, LineReader* reader, uint32_t* type,
               std::vector<uint8_t>* data) {
  data->clear();
  for (const DataTag& t : kTags) {
    if (!StartsWith(line, pos, t.tag)) continue;
    pos += strlen(t.tag);
    *type = t.type;
    if (t.text) {
      std::u16string text;
      if (ParseRegistryString(line, pos, '"', &text) == std::string::npos) return false;
      PutUtf16(text, data);
      return true;
    }
    if (t.type == kRegDword) {
      std::string digits = line.substr(pos);
      uint32_t v = static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 16));
      for (int i = 0; i < 4; ++i) data->push_back(static_cast<uint8_t>(v >> (8 * i)));
      return true;
    }
    return ParseHexData(line, pos, reader, data);
  }
  if (StartsWith(line, pos, "hex(")) {
    pos += 4;
    size_t start = pos;
    uint32_t v = 0;
    while (pos < line.size() && IsHex(line[pos]) && pos - start < 8) {
      v = v * 16 + static_cast<uint32_t>(HexValue(line[pos++]));
    }
    if (pos == start || !StartsWith(line, pos, "):")) return false;
    *type = v;
    return ParseHexData(line, pos + 2, reader, data);
  }
  return false;
}

RegistryFileValue* FindValue(std::vector<RegistryFileValue>* values, const std::u16string& name) {
  for (RegistryFileValue& v : *values) {
    if (RegistryNamesEqual(v.name, name)) return &v;
  }
  return nullptr;
}

// A value line of a section; `keep` says whether it belongs to the key sought.
void LoadValue(const std::string& line, size_t pos, LineReader* reader, bool keep,
               std::vector<RegistryFileValue>* values) {
  std::u16string name;
  if (line[pos] == '@') {
    ++pos;
  } else {
    pos = ParseRegistryString(line, pos + 1, '"', &name);
    if (pos == std::string::npos) return;
  }
  pos = SkipSpaces(line, pos);
  if (pos >= line.size() || line[pos] != '=') return;
  pos = SkipSpaces(line, pos + 1);
  RegistryFileValue* value = nullptr;
  if (keep) {
    value = FindValue(values, name);
    if (value == nullptr) {
      // A named value exists from here on, even when its data turn out malformed.
      values->push_back(RegistryFileValue());
      value = &values->back();
      value->name = name;
    }
  }
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;
  if (!ParseData(line, pos, reader, &type, &data) || value == nullptr) return;
  value->type = type;
  value->data.swap(data);
}

}  // namespace

bool RegistryNamesEqual(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperUtf16(a[i]) != UpperUtf16(b[i])) return false;
  }
  return true;
}

bool SplitRegistryPath(const std::u16string& path, std::vector<std::u16string>* components) {
  components->clear();
  if (!path.empty() && path[0] == u'\\') return false;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) components->push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

size_t ParseRegistryString(const std::string& line, size_t pos, char end_char,
                           std::u16string* out) {
  out->clear();
  while (pos < line.size() && line[pos] != end_char) {
    char c = line[pos];
    if (c != '\\') {
      if (static_cast<unsigned char>(c) < 0x80) {
        out->push_back(static_cast<char16_t>(c));
        ++pos;
      } else {
        char16_t w;
        pos += DecodeRaw(line, pos, &w);
        out->push_back(w);
      }
      continue;
    }
    if (++pos >= line.size()) return std::string::npos;  // a lone '\' at the end
    c = line[pos];
    switch (c) {
      case 'a':
        out->push_back(u'\a');
        ++pos;
        break;
      case 'b':
        out->push_back(u'\b');
        ++pos;
        break;
      case 'e':
        out->push_back(0x1B);
        ++pos;
        break;
      case 'f':
        out->push_back(u'\f');
        ++pos;
        break;
      case 'n':
        out->push_back(u'\n');
        ++pos;
        break;
      case 'r':
        out->push_back(u'\r');
        ++pos;
        break;
      case 't':
        out->push_back(u'\t');
        ++pos;
        break;
      case 'v':
        out->push_back(u'\v');
        ++pos;
        break;
      case 'x': {
        ++pos;
        if (pos >= line.size() || !IsHex(line[pos])) {
          out->push_back(u'x');
          break;
        }
        uint32_t v = 0;
        for (int k = 0; k < 4 && pos < line.size() && IsHex(line[pos]); ++k) {
          v = v * 16 + static_cast<uint32_t>(HexValue(line[pos++]));
        }
        out->push_back(static_cast<char16_t>(v));
        break;
      }
      default:
        if (c >= '0' && c <= '7') {
          uint32_t v = 0;
          for (int k = 0; k < 3 && pos < line.size() && line[pos] >= '0' && line[pos] <= '7'; ++k) {
            v = v * 8 + static_cast<uint32_t>(line[pos++] - '0');
          }
          out->push_back(static_cast<char16_t>(v));
        } else if (static_cast<unsigned char>(c) < 0x80) {
          out->push_back(static_cast<char16_t>(c));
          ++pos;
        } else {
          char16_t w;
          pos += DecodeRaw(line, pos, &w);
          out->push_back(w);
        }
        break;
    }
  }
  if (pos >= line.size()) return std::string::npos;
  return pos + 1;
}

bool FindRegistryFileKey(const std::string& file, const std::vector<std::u16string>& components,
                         std::vector<RegistryFileValue>* values) {
  values->clear();
  LineReader reader(file);
  std::string line;
  if (!reader.Next(&line) || line != kHeader) return false;
  bool found = components.empty();
  bool in_section = false;
  bool matches = false;
  std::vector<std::u16string> section;
  while (reader.Next(&line)) {
    size_t pos = SkipSpaces(line, 0);
    if (pos >= line.size()) continue;
    char c = line[pos];
    if (c == '[') {
      std::u16string name;
      in_section = ParseRegistryString(line, pos + 1, ']', &name) != std::string::npos &&
                   SplitRegistryPath(name, &section);
      matches = false;
      if (!in_section || section.size() < components.size()) continue;
      bool prefix = true;
      for (size_t i = 0; i < components.size() && prefix; ++i) {
        prefix = RegistryNamesEqual(section[i], components[i]);
      }
      if (!prefix) continue;
      found = true;  // the key itself, or a subkey that implies it
      matches = section.size() == components.size();
    } else if (c == '@' || c == '"') {
      if (in_section) LoadValue(line, pos, &reader, matches, values);
    }
  }
  return found;
}

int32_t CopyRegistryValueAnsi(const RegistryFileValue& value, uint32_t* type, uint8_t* data,
                              uint32_t* size) {
  if (type != nullptr) *type = value.type;
  std::string converted;
  const uint8_t* src = value.data.data();
  size_t n = value.data.size();
  bool text = value.type == kRegSz || value.type == kRegExpandSz || value.type == kRegMultiSz;
  if (text) {
    std::u16string wide;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
      wide.push_back(static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8)));
    }
    converted = Utf16ToAnsi(wide);
    src = reinterpret_cast<const uint8_t*>(converted.data());
    n = converted.size();
  }
  if (n > 0xFFFFFFFFu) return kRegMoreData;
  uint32_t capacity = *size;
  *size = static_cast<uint32_t>(n);
  if (data == nullptr) return kRegSuccess;
  if (n > capacity) return kRegMoreData;
  if (n > 0) memcpy(data, src, n);
  // A string stored without its terminator gets one when there is room.
  if (text && n > 0 && n < capacity && data[n - 1] != 0) data[n] = 0;
  return kRegSuccess;
}

}  // namespace upkeep
