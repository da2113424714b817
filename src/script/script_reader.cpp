#include "script/script_reader.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "package/package.h"
#include "platform/text.h"

namespace upkeep {

namespace {

bool IsDigit(int c) { return c >= '0' && c <= '9'; }

bool IsWordByte(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '_';
}

// What may follow the digits of a number; a comment may not.
bool IsTerminator(int c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ')';
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('\\');
  if (slash == std::string::npos) slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

ScriptValue* CopyValue(const ScriptValue* value) {
  switch (value->type) {
    case ScriptValueType::Integer: {
      const ScriptInteger* integer = static_cast<const ScriptInteger*>(value);
      ScriptInteger* copy = new ScriptInteger(integer->value);
      copy->wide = integer->wide;
      return copy;
    }
    case ScriptValueType::Float:
      return new ScriptFloat(static_cast<const ScriptFloat*>(value)->value);
    case ScriptValueType::String:
      return new ScriptString(static_cast<const ScriptString*>(value)->value);
  }
  return nullptr;
}

// A double outside the float range becomes infinity explicitly rather than
// through an out-of-range conversion.
float ToFloat(double value) {
  const double max = std::numeric_limits<float>::max();
  if (value > max) return std::numeric_limits<float>::infinity();
  if (value < -max) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

}  // namespace

void DestroyConstList(ScriptConst* head) {
  while (head != nullptr) {
    ScriptConst* next = head->next;
    delete head;
    head = next;
  }
}

ScriptReader::~ScriptReader() { DestroyConstList(consts); }

int ScriptReader::GetChar() {
  if (position >= size || position >= text.size()) {
    lastRead = size;
    return kEndOfInput;
  }
  lastRead = position;
  return text[position++];
}

void ScriptReader::UngetChar() {
  if (position > 0) --position;
}

void ScriptReader::PushBack(int c) {
  if (c != kEndOfInput) UngetChar();
}

bool ScriptReader::SkipBlanks() {
  while (!AtEnd()) {
    int c = GetChar();
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c != '/') {
      UngetChar();
      break;
    }
    int second = GetChar();
    if (second == '/') {
      // Only a CR LF pair ends a line comment.
      for (;;) {
        int b = GetChar();
        if (b == kEndOfInput) break;
        if (b != '\r') continue;
        int after = GetChar();
        if (after == '\n') break;
        PushBack(after);
      }
    } else if (second == '*') {
      for (;;) {
        int b = GetChar();
        if (b == kEndOfInput) break;
        if (b != '*') continue;
        int after = GetChar();
        if (after == '/') break;
        PushBack(after);  // "**/" still ends the comment
      }
    } else {
      PushBack(second);
      UngetChar();  // the '/': a lone slash is not a blank
      break;
    }
  }
  return AtEnd();
}

int ScriptReader::ReadWord(char* buffer, size_t capacity) {
  if (capacity == 0) return kWordTooLong;
  itemStart = position;
  size_t length = 0;
  for (;;) {
    int c = GetChar();
    if (c == kEndOfInput) {
      buffer[length] = 0;
      return kWordEnd;
    }
    if (!IsWordByte(c)) {
      UngetChar();
      buffer[length] = 0;
      return kWordOk;
    }
    if (length + 1 >= capacity) {
      Report(Place::kItem, false, "word limit exceeded");
      UngetChar();
      buffer[length] = 0;
      return kWordTooLong;
    }
    buffer[length++] = static_cast<char>(c);
  }
}

const ScriptConst* ScriptReader::ReadConstReference(ScriptValueType type, int& error) {
  char word[kWordCapacity];
  if (ReadWord(word, sizeof word) != kWordOk) {
    error = 1;
    return nullptr;
  }
  const ScriptConst* found = consts;
  while (found != nullptr && CompareNoCase(found->name.c_str(), word) != 0) found = found->next;
  if (found == nullptr) {
    Report(Place::kItem, false, "unknown const name '%s'", word);
    error = 1;
    return nullptr;
  }
  if (found->value->type != type) {
    switch (type) {
      case ScriptValueType::Integer:
        Report(Place::kItem, false, "'%s' const type != 'int'", word);
        break;
      case ScriptValueType::Float:
        Report(Place::kItem, false, "'%s' const type != 'float'", word);
        break;
      case ScriptValueType::String:
        Report(Place::kItem, false, "'%s' const type != 'string'", word);
        break;
    }
    error = 1;
    return nullptr;
  }
  return found;
}

ScriptReader::NumberStart ScriptReader::BeginNumber(ScriptValueType type, int& error,
                                                    bool* negative, int* first,
                                                    ScriptValue** value) {
  int c = GetChar();
  *negative = false;
  if (c == '-') {
    *negative = true;
    SkipBlanks();
  } else if (IsDigit(c)) {
    UngetChar();
  } else {
    PushBack(c);
    const ScriptConst* found = ReadConstReference(type, error);
    *value = found != nullptr ? CopyValue(found->value) : nullptr;
    return NumberStart::kConst;
  }
  *first = GetChar();
  if (!IsDigit(*first)) {
    ReportError("expected number");
    error = 1;
    return NumberStart::kFailed;
  }
  return NumberStart::kDigits;
}

ScriptValue* ScriptReader::ParseInteger(int& error) {
  bool negative = false;
  int c = 0;
  ScriptValue* constant = nullptr;
  switch (BeginNumber(ScriptValueType::Integer, error, &negative, &c, &constant)) {
    case NumberStart::kConst:
      return constant;
    case NumberStart::kFailed:
      return nullptr;
    case NumberStart::kDigits:
      break;
  }
  uint32_t value = 0;  // wraps modulo 2^32, as the format has always done
  uint64_t full = 0;   // saturates instead
  while (IsDigit(c)) {
    value = value * 10u + static_cast<uint32_t>(c - '0');
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    full = full > (UINT64_MAX - digit) / 10 ? UINT64_MAX : full * 10 + digit;
    c = GetChar();
  }
  if (!IsTerminator(c)) {
    ReportError("invalid termination of integer");
    error = 1;
    return nullptr;
  }
  PushBack(c);
  if (negative) value = 0u - value;
  ScriptInteger* integer = new ScriptInteger(static_cast<int32_t>(value));
  if (!negative && full > UINT32_MAX) integer->wide = full;
  return integer;
}

ScriptValue* ScriptReader::ParseFloat(int& error) {
  bool negative = false;
  int c = 0;
  ScriptValue* constant = nullptr;
  switch (BeginNumber(ScriptValueType::Float, error, &negative, &c, &constant)) {
    case NumberStart::kConst:
      return constant;
    case NumberStart::kFailed:
      return nullptr;
    case NumberStart::kDigits:
      break;
  }
  double mantissa = 0.0;
  while (IsDigit(c)) {
    mantissa = mantissa * 10.0 + (c - '0');
    c = GetChar();
  }
  double value = mantissa;
  if (c == '.') {
    double scale = 1.0;
    c = GetChar();
    while (IsDigit(c)) {
      mantissa = mantissa * 10.0 + (c - '0');
      scale *= 0.1;
      c = GetChar();
    }
    value = mantissa * scale;
  }
  if (!IsTerminator(c)) {
    ReportError("invalid termination of float");
    error = 1;
    return nullptr;
  }
  PushBack(c);
  return new ScriptFloat(ToFloat(negative ? -value : value));
}

ScriptValue* ScriptReader::ParseString(int& error) {
  int c = GetChar();
  if (c != '"') {
    PushBack(c);
    const ScriptConst* found = ReadConstReference(ScriptValueType::String, error);
    return found != nullptr ? CopyValue(found->value) : nullptr;
  }
  itemStart = position - 1;  // the opening quote
  std::string value;
  bool line_break = false;
  for (;;) {
    c = GetChar();
    if (c == kEndOfInput) break;
    if (c == '"') {
      if (line_break && errorSink != nullptr) {
        brokenString_ = true;
        brokenStringStart_ = itemStart;
        brokenStringEnd_ = position - 1;
      }
      return new ScriptString(std::move(value));
    }
    if (c != '\\') {
      line_break = line_break || c == '\r' || c == '\n';
      value.push_back(static_cast<char>(c));
      continue;
    }
    int escaped = GetChar();
    if (escaped == kEndOfInput) break;
    if (escaped == 'n') {
      value += "\r\n";
    } else if (escaped == 't') {
      value.push_back('\t');
    } else if (escaped == '\r' || escaped == '\n') {
      // A CR LF pair stands for LF, an LF CR pair for CR. A lone line break
      // stands for itself and the byte after it is read normally.
      int other = escaped == '\r' ? '\n' : '\r';
      int after = GetChar();
      if (after == other) {
        value.push_back(static_cast<char>(other));
      } else {
        value.push_back(static_cast<char>(escaped));
        PushBack(after);
      }
    } else {
      value.push_back(static_cast<char>(escaped));
    }
  }
  Report(Place::kItem, false, "expected ending \"");
  error = 1;
  return nullptr;
}

void ScriptReader::ReportError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Deliver(lastRead, false, format, args);
  va_end(args);
}

void ScriptReader::Report(Place place, bool warning, const char* format, ...) {
  const size_t offset = place == Place::kItem       ? itemStart
                        : place == Place::kLastByte ? lastRead
                                                    : std::numeric_limits<size_t>::max();
  va_list args;
  va_start(args, format);
  Deliver(offset, warning, format, args);
  va_end(args);
}

void ScriptReader::Deliver(size_t offset, bool warning, const char* format, va_list args) {
  if (errorSink == nullptr) return;
  // Each message is formatted on its own, so parses on two threads would
  // not mix their texts.
  char small[256];
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(small, sizeof small, format, args);
  std::vector<char> big;
  const char* message = small;
  if (n >= 0 && static_cast<size_t>(n) >= sizeof small) {
    big.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, again);
    message = big.data();
  }
  va_end(again);
  if (n < 0) return;
  // The place is counted only for a sink, so the updater, which attaches
  // none, pays nothing for it.
  size_t line = 0, column = 0;
  if (offset <= size) LineOf(offset, &line, &column);
  // A fault on the line where a string spanning lines closed is most likely
  // that string's missing quote: its opening is named first.
  if (!warning && brokenString_ && line > 0) {
    size_t end_line = 0, end_column = 0, open_line = 0, open_column = 0;
    LineOf(brokenStringEnd_, &end_line, &end_column);
    if (end_line == line) {
      LineOf(brokenStringStart_, &open_line, &open_column);
      errorSink->OnScriptMessage(
          ScriptPlace{path, open_line, open_column, false},
          "string not closed on its line (it runs on to a quote on a later line)");
    }
    brokenString_ = false;
  }
  errorSink->OnScriptMessage(ScriptPlace{path, line, column, warning}, message);
}

void ScriptReader::LineOf(size_t offset, size_t* line, size_t* column) const {
  *line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++*line;
      line_start = i + 1;
    }
  }
  *column = offset - line_start + 1;
}

std::unique_ptr<ScriptReader> LoadScript(const char* path) {
  auto reader = std::make_unique<ScriptReader>();
  if (path == nullptr) return reader;
  if (std::strlen(path) > kMaxScriptPath) {
    reader->readFailed = true;  // refused, never cut short
    return reader;
  }
  PackageFile* file = OpenPackageFile(path, "rb");
  if (file == nullptr) return reader;
  reader->path = path;
  reader->directory = DirectoryOf(reader->path);
  int32_t length = -1;
  if (SeekPackageFile(file, 0, 2) == 0) length = TellPackageFile(file);
  if (length < 0 || SeekPackageFile(file, 0, 0) != 0) {
    reader->readFailed = true;
  } else if (length > 0) {
    try {
      reader->text.resize(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
      reader->readFailed = true;
    }
    if (!reader->readFailed &&
        ReadPackageFile(reader->text.data(), 1, reader->text.size(), file) != reader->text.size()) {
      reader->readFailed = true;
    }
    if (reader->readFailed) std::vector<unsigned char>().swap(reader->text);
  }
  ClosePackageFile(file);
  reader->size = reader->text.size();
  return reader;
}

std::unique_ptr<ScriptReader> LoadScript(const PackageArchive* package, const char* path) {
  if (package == nullptr) return LoadScript(path);
  auto reader = std::make_unique<ScriptReader>();
  reader->package = package;
  if (path == nullptr) return reader;
  if (std::strlen(path) > kMaxScriptPath) {
    reader->readFailed = true;
    return reader;
  }
  std::unique_ptr<PackageEntry> loose;
  PackageEntry* entry = FindPackageEntry(*package, path);
  if (entry == nullptr) {
    loose = OpenLooseEntry(path);
    entry = loose.get();
  }
  if (entry == nullptr) return reader;
  reader->path = path;
  reader->directory = DirectoryOf(reader->path);
  if (!ReadPackageEntry(entry, &reader->text)) {
    reader->readFailed = true;
    std::vector<unsigned char>().swap(reader->text);
  }
  reader->size = reader->text.size();
  return reader;
}

std::unique_ptr<ScriptReader> ScriptFromText(const std::string& text, const char* path) {
  auto reader = std::make_unique<ScriptReader>();
  reader->text.assign(text.begin(), text.end());
  reader->size = reader->text.size();
  reader->path = path != nullptr ? path : "";
  reader->directory = DirectoryOf(reader->path);
  return reader;
}

}  // namespace upkeep
