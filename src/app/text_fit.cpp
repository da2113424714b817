#include "app/text_fit.h"

#include "app/startup.h"
#include "platform/code_page.h"
#include "script/string_table.h"

namespace upkeep {

namespace {

const char16_t kDots[] = u"...";

std::string Ansi(const std::u16string& text) { return Utf16ToAnsi(text); }

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

}  // namespace

std::string ShortenPathMiddle(const std::string& path, const FitsWidth& fits) {
  if (fits(path)) return path;
  const std::u16string wide = AnsiToUtf16(path);
  size_t cut = wide.size();
  while (cut > 0 && !IsSeparator(wide[cut - 1])) --cut;
  const std::u16string name = wide.substr(cut);
  if (cut > 0) {
    const std::u16string tail = kDots + wide.substr(cut - 1);
    for (size_t keep = cut - 1; keep-- > 0;) {
      const std::string candidate = Ansi(wide.substr(0, keep) + tail);
      if (fits(candidate)) return candidate;
    }
  }
  for (size_t from = 0; from < name.size(); ++from) {
    const std::string candidate = Ansi(kDots + name.substr(from));
    if (fits(candidate)) return candidate;
  }
  return Ansi(kDots);
}

std::string FittingDialogCaption(const FitsWidth& fits) {
  const std::string caption = DialogCaption();
  if (fits(caption)) return caption;
  const std::u16string name = AnsiToUtf16(ExpandText("&PROGRAM_NAME&"));
  std::string shortest = caption;
  for (size_t keep = name.size(); keep-- > 1;) {
    shortest = DialogCaptionFor(Ansi(name.substr(0, keep) + kDots));
    if (fits(shortest)) return shortest;
  }
  return shortest;
}

}  // namespace upkeep
