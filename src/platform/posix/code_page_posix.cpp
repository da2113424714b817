#include <errno.h>
#include <iconv.h>

#include <cstdio>
#include <string>

#include "platform/code_page.h"
#include "platform/text.h"

namespace upkeep {

namespace {

// iconv's name for a Windows code page.
std::string IconvName(int code_page) {
  switch (code_page) {
    case 936:
      return "GBK";
    case 949:
      return "UHC";
    case 950:
      return "BIG5";
    case 20127:
      return "ASCII";
    case 28591:
      return "ISO-8859-1";
    case 65001:
      return "UTF-8";
    default: {
      char name[16];
      snprintf(name, sizeof(name), "CP%d", code_page);
      return name;
    }
  }
}

int Resolve(int code_page) { return code_page == kAnsiCodePage ? CurrentCodePage() : code_page; }

bool IsDoubleByteCodePage(int cp) { return cp == 932 || cp == 936 || cp == 949 || cp == 950; }

class Converter {
 public:
  Converter(const std::string& to, const std::string& from) {
    cd_ = iconv_open(to.c_str(), from.c_str());
  }
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Converts one unit of input; false when the system cannot.
  bool Convert(const char* in, size_t in_len, std::string* out) {
    char buf[16];
    char* src = const_cast<char*>(in);
    char* dst = buf;
    size_t src_left = in_len;
    size_t dst_left = sizeof(buf);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd_, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1) || src_left != 0) {
      return false;
    }
    out->append(buf, static_cast<size_t>(dst - buf));
    return true;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::string Utf16ToAnsi(const std::u16string& text, int code_page) {
  int cp = Resolve(code_page);
  Converter conv(IconvName(cp), "UTF-16LE");
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    size_t units = 1;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      units = 2;
    }
    char in[4];
    for (size_t k = 0; k < units; ++k) {
      in[2 * k] = static_cast<char>(text[i + k] & 0xFF);
      in[2 * k + 1] = static_cast<char>(text[i + k] >> 8);
    }
    if (!conv.ok() || !conv.Convert(in, 2 * units, &out)) out.push_back('?');
    i += units - 1;
  }
  return out;
}

std::u16string AnsiToUtf16(const std::string& text, int code_page) {
  int cp = Resolve(code_page);
  if (cp == 65001) return Utf8ToUtf16(text);
  Converter conv("UTF-16LE", IconvName(cp));
  bool dbcs = IsDoubleByteCodePage(cp);
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out.push_back(b);
      continue;
    }
    std::string wide;
    if (conv.ok() && conv.Convert(&text[i], 1, &wide)) {
      // one byte was a whole character
    } else if (dbcs && i + 1 < text.size() && conv.ok() && conv.Convert(&text[i], 2, &wide)) {
      ++i;
    } else {
      // Bytes a single-byte code page leaves undefined map to the same code
      // point, as the system tables do; a broken double-byte pair to '?'.
      out.push_back(dbcs ? u'?' : static_cast<char16_t>(b));
      continue;
    }
    for (size_t k = 0; k + 1 < wide.size(); k += 2) {
      out.push_back(static_cast<char16_t>(static_cast<unsigned char>(wide[k]) |
                                          (static_cast<unsigned char>(wide[k + 1]) << 8)));
    }
  }
  return out;
}

}  // namespace upkeep
