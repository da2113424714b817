// The shortcut (.lnk) reader and writer. A file the reader accepts must save
// into one it accepts again with the same texts and settings, and saving that
// one again must give the same bytes; retargeting it must give a file whose
// target reads back as set.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/shell_link_format.h"
#include "fuzz_check.h"

namespace {

using namespace upkeep;

using upkeep::fuzz::Check;

bool Same(const lnk::LinkString& a, const lnk::LinkString& b) {
  return a.present == b.present && a.text == b.text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int code_page = size > 0 && (data[0] & 1) ? 1250 : 1252;
  lnk::LinkData link;
  if (!lnk::ParseLink(data, size, code_page, &link)) return 0;
  const std::vector<uint8_t> saved = lnk::SerializeLink(link);
  lnk::LinkData back;
  Check(lnk::ParseLink(saved.data(), saved.size(), code_page, &back));
  Check(back.target == link.target && Same(back.name, link.name) &&
        Same(back.relativePath, link.relativePath) && Same(back.workingDir, link.workingDir) &&
        Same(back.arguments, link.arguments) && Same(back.iconLocation, link.iconLocation));
  Check(back.iconIndex == link.iconIndex && back.showCommand == link.showCommand &&
        back.hotKey == link.hotKey && back.extraBlocks == link.extraBlocks);
  Check(lnk::SerializeLink(back) == saved);

  lnk::TargetFacts facts;
  facts.exists = true;
  facts.size = 4096;
  if (lnk::SetLinkTarget(&link, "C:\\Games\\Fuzz\\game.exe", facts, code_page, code_page)) {
    const std::vector<uint8_t> moved = lnk::SerializeLink(link);
    lnk::LinkData again;
    Check(lnk::ParseLink(moved.data(), moved.size(), code_page, &again));
    Check(again.target == u"C:\\Games\\Fuzz\\game.exe");
    Check(Same(again.arguments, link.arguments));
  }
  return 0;
}
