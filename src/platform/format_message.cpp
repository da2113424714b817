#include "platform/format_message.h"

#include <cstring>

namespace upkeep {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads an insert number after "%" (one or two digits); p is past them after.
int InsertNumber(const char*& p) {
  int number = *p++ - '0';
  if (IsDigit(*p)) number = number * 10 + (*p++ - '0');
  return number;
}

// At most `limit` digits from p; false when more follow.
bool SkipDigits(const char*& p, const char* end, int limit) {
  int n = 0;
  while (p < end && IsDigit(*p)) {
    if (++n > limit) return false;
    ++p;
  }
  return true;
}

// "-"? width? ("." precision)? "s", widths and precisions of three digits at most.
bool IsSafeFormat(const char* format, size_t length) {
  const char* p = format;
  const char* end = format + length;
  if (p < end && *p == '-') ++p;
  if (p < end && *p == '0') return false;  // a '0' here would be the zero-padding flag
  if (!SkipDigits(p, end, 3)) return false;
  if (p < end && *p == '.') {
    ++p;
    if (!SkipDigits(p, end, 3)) return false;
  }
  return p + 1 == end && *p == 's';
}

struct InsertFormat {
  bool left = false;
  size_t width = 0;
  bool has_precision = false;
  size_t precision = 0;
};

// A decimal number, held at kMaxFormatNumber so that an unsafe template cannot
// ask for an endless padding.
constexpr size_t kMaxFormatNumber = 9999;
size_t ReadBounded(const char*& p) {
  size_t value = 0;
  while (IsDigit(*p)) {
    value = value * 10 + static_cast<size_t>(*p++ - '0');
    if (value > kMaxFormatNumber) value = kMaxFormatNumber;
  }
  return value;
}

// Parses a safe format (anything else reads as plain "s") and moves p past its
// closing "!", or to the end when there is none.
InsertFormat ParseFormat(const char*& p) {
  InsertFormat format;
  while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
    if (*p == '-') format.left = true;
    ++p;
  }
  format.width = ReadBounded(p);
  if (*p == '.') {
    ++p;
    format.has_precision = true;
    format.precision = ReadBounded(p);
  }
  while (*p != 0 && *p != '!') ++p;
  if (*p == '!') ++p;
  return format;
}

void AppendInsert(const char* arg, const InsertFormat& format, std::string* out) {
  size_t length = std::strlen(arg);
  if (format.has_precision && format.precision < length) length = format.precision;
  size_t pad = format.width > length ? format.width - length : 0;
  if (!format.left) out->append(pad, ' ');
  out->append(arg, length);
  if (format.left) out->append(pad, ' ');
}

}  // namespace

std::string SafeMessageTemplate(const char* templ) {
  std::string out;
  if (templ == nullptr) return out;
  const char* p = templ;
  while (*p != 0) {
    if (*p != '%') {
      out.push_back(*p++);
      continue;
    }
    ++p;
    if (*p == 0) {
      out += "%%";
      break;
    }
    if (*p < '1' || *p > '9') {
      out.push_back('%');
      out.push_back(*p++);
      continue;
    }
    const char* digits = p;
    InsertNumber(p);
    out.push_back('%');
    out.append(digits, static_cast<size_t>(p - digits));
    if (*p != '!') continue;
    const char* format = p + 1;
    const char* close = std::strchr(format, '!');
    size_t length = close != nullptr ? static_cast<size_t>(close - format) : std::strlen(format);
    out.push_back('!');
    if (IsSafeFormat(format, length)) {
      out.append(format, length);
    } else {
      out.push_back('s');
    }
    out.push_back('!');
    // Without a closing "!" the system takes the rest of the template as the
    // format; nothing of it is output.
    p = close != nullptr ? close + 1 : format + length;
  }
  return out;
}

bool EmulateFormatMessage(const char* templ, const char* const* args, std::string* out) {
  out->clear();
  const char* p = templ;
  while (*p != 0) {
    char c = *p++;
    if (c == '\r' || c == '\n') {
      if (c == '\r' && *p == '\n') ++p;
      *out += "\r\n";
      continue;
    }
    if (c != '%') {
      out->push_back(c);
      continue;
    }
    c = *p;
    if (c >= '1' && c <= '9') {
      const char* arg = args[InsertNumber(p) - 1];
      if (arg == nullptr) arg = "(null)";
      InsertFormat format;
      if (*p == '!') format = ParseFormat(++p);
      AppendInsert(arg, format, out);
      continue;
    }
    switch (c) {
      case 0:
        out->clear();
        return false;  // a lone "%" at the end
      case '0':
        return true;
      case 'n':
        *out += "\r\n";
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 't':
        out->push_back('\t');
        break;
      default:
        out->push_back(c);
        break;
    }
    ++p;
  }
  return true;
}

std::string FormatMessageText(const char* templ, const std::vector<std::string>& args) {
  const char* argv[kMaxMessageInserts];
  for (int i = 0; i < kMaxMessageInserts; ++i) {
    argv[i] = static_cast<size_t>(i) < args.size() ? args[static_cast<size_t>(i)].c_str() : "";
  }
  std::string safe = SafeMessageTemplate(templ);
  std::string out;
  // The system refuses results it finds too long; the portable formatter
  // gives the same text for those.
  if (!SystemFormatMessage(safe.c_str(), argv, &out))
    EmulateFormatMessage(safe.c_str(), argv, &out);
  return out;
}

}  // namespace upkeep
