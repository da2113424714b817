// Values that the Windows build writes through the system and both builds read
// back: the Win32 reader through the registry API, the POSIX reader from the
// hive Wine saved. One table keeps the two sides to the same answers.
#ifndef UPKEEP_TESTS_REGISTRY_CROSS_VALUES_H_
#define UPKEEP_TESTS_REGISTRY_CROSS_VALUES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace upkeep {
namespace test {

// Below HKEY_LOCAL_MACHINE; letters beyond ASCII test the key escapes.
constexpr char16_t kCrossKeyWide[] = u"Software\\UpkeepRegistryCross\\Gr\u00fcn [Test]";
// The same path in code page 1252, in another letter case.
constexpr char kCrossKeyAnsi[] = "SOFTWARE\\upkeepregistrycross\\GR\xdcN [test]";

struct CrossValue {
  std::u16string name;
  uint32_t type;
  std::vector<uint8_t> data;  // as written: UTF-16LE for strings
  std::string ansi;           // RegQueryValueExA's bytes in code page 1252
};

inline std::vector<uint8_t> Wide(const std::u16string& text, bool terminator = true) {
  std::vector<uint8_t> out;
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminator) out.insert(out.end(), {0, 0});
  return out;
}

inline std::vector<CrossValue> CrossValues() {
  std::vector<CrossValue> v;
  auto text = [&](const std::u16string& name, const std::u16string& value, const std::string& ansi,
                  uint32_t type = kRegSz) {
    v.push_back({name, type, Wide(value), ansi + std::string(1, '\0')});
  };
  text(u"", u"default", "default");
  text(u"Destination", u"C:\\Games\\Acme\\", "C:\\Games\\Acme\\");
  text(u"Quoted \"name\"", u"say \"hi\" \\ back", "say \"hi\" \\ back");
  text(u"Accents", u"Caf\u00e9 M\u00fcller Stra\u00dfe",
       "Caf\xe9 M\xfcller Stra\xdf"
       "e");
  text(u"HexAfter", u"\u00e9a1",
       "\xe9"
       "a1");  // a hex digit right after an escape
  text(u"Controls", u"tab\there\nline\rcr\x01\x7f", "tab\there\nline\rcr\x01\x7f");
  text(u"Unmapped", u"\u4e2d", "?");
  text(u"Empty", u"", "");
  text(u"Expand", u"%SystemRoot%\\system32", "%SystemRoot%\\system32", kRegExpandSz);
  text(u"Longest", std::u16string(259, u'a'), std::string(259, 'a'));
  text(u"TooLong", std::u16string(260, u'a'), std::string(260, 'a'));
  v.push_back({u"Multi", kRegMultiSz, Wide(std::u16string(u"one\0two\0", 8)),
               std::string("one\0two\0\0", 9)});
  v.push_back({u"Bare", kRegSz, Wide(u"abc", false), "abc"});
  v.push_back({u"Number", kRegDword, {0x2a, 0, 0, 0x80}, std::string("\x2a\0\0\x80", 4)});
  std::vector<uint8_t> blob;
  for (int i = 0; i < 100; ++i) blob.push_back(static_cast<uint8_t>(i * 7));
  v.push_back({u"Blob", kRegBinary, blob, std::string(blob.begin(), blob.end())});
  return v;
}

}  // namespace test
}  // namespace upkeep

#endif  // UPKEEP_TESTS_REGISTRY_CROSS_VALUES_H_
