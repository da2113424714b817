#include "platform/shell_link_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace upkeep {
namespace lnk {
namespace {

constexpr int kCp = 1252;

void Put16(std::vector<uint8_t>* v, uint32_t x) {
  v->push_back(static_cast<uint8_t>(x));
  v->push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>* v, uint32_t x) {
  Put16(v, x & 0xFFFF);
  Put16(v, x >> 16);
}
uint32_t Get32(const std::vector<uint8_t>& v, size_t at) {
  return v[at] | (v[at + 1] << 8) | (v[at + 2] << 16) | (static_cast<uint32_t>(v[at + 3]) << 24);
}

std::vector<uint8_t> Block(uint32_t signature, size_t payload, uint8_t fill) {
  std::vector<uint8_t> b;
  Put32(&b, static_cast<uint32_t>(8 + payload));
  Put32(&b, signature);
  b.insert(b.end(), payload, fill);
  return b;
}

LinkData GameLink() {
  LinkData link;
  TargetFacts facts;
  facts.exists = true;
  facts.attributes = 0x20;
  facts.size = 4096;
  EXPECT_TRUE(SetLinkTarget(&link, "C:\\Games\\Knight\\knight.exe", facts, kCp, kCp));
  link.arguments = {true, u"-window"};
  link.iconLocation = {true, u"C:\\Games\\Knight\\knight.ico"};
  link.iconIndex = 3;
  link.workingDir = {true, u"C:\\Games\\Knight"};
  link.name = {true, u"Play"};
  link.hotKey = 0x0341;
  link.showCommand = 3;
  return link;
}

LinkData Reparse(const LinkData& link) {
  std::vector<uint8_t> bytes = SerializeLink(link);
  LinkData back;
  EXPECT_TRUE(ParseLink(bytes.data(), bytes.size(), kCp, &back));
  return back;
}

TEST(ShellLinkFormat, RoundTripKeepsEveryPart) {
  LinkData link = GameLink();
  link.extraBlocks.push_back(Block(0xA0000002, 0xC4, 0x11));  // console settings
  LinkData back = Reparse(link);
  EXPECT_EQ(back.target, u"C:\\Games\\Knight\\knight.exe");
  EXPECT_EQ(back.arguments.text, u"-window");
  EXPECT_EQ(back.iconLocation.text, u"C:\\Games\\Knight\\knight.ico");
  EXPECT_EQ(back.iconIndex, 3);
  EXPECT_EQ(back.workingDir.text, u"C:\\Games\\Knight");
  EXPECT_EQ(back.name.text, u"Play");
  EXPECT_FALSE(back.relativePath.present);
  EXPECT_EQ(back.hotKey, 0x0341);
  EXPECT_EQ(back.showCommand, 3u);
  EXPECT_EQ(back.fileAttributes, 0x20u);
  EXPECT_EQ(back.fileSize, 4096u);
  ASSERT_EQ(back.extraBlocks.size(), 1u);
  EXPECT_EQ(back.extraBlocks[0], link.extraBlocks[0]);
  // A loaded link saves back byte for byte.
  EXPECT_EQ(SerializeLink(back), SerializeLink(link));
}

TEST(ShellLinkFormat, PinsTheLayoutOfAWrittenLink) {
  LinkData link;
  ASSERT_TRUE(SetLinkTarget(&link, "C:\\a.exe", TargetFacts(), kCp, kCp));
  link.arguments = {true, u"-x"};
  std::vector<uint8_t> b = SerializeLink(link);
  const uint8_t header[20] = {0x4C, 0, 0,    0, 0x01, 0x14, 0x02, 0, 0, 0,
                              0,    0, 0xC0, 0, 0,    0,    0,    0, 0, 0x46};
  ASSERT_GT(b.size(), 0x4Cu);
  EXPECT_EQ(std::memcmp(b.data(), header, 20), 0);
  EXPECT_EQ(Get32(b, 0x14), kHasIdList | kHasLinkInfo | kHasArguments | kIsUnicode);
  EXPECT_EQ(Get32(b, 0x3C), 1u);  // shown normally
  // Item list: My Computer (20), drive (25), "a.exe" file item (20), terminator.
  size_t listSize = b[0x4C] | (b[0x4D] << 8);
  EXPECT_EQ(listSize, 20u + 25u + 20u + 2u);
  EXPECT_EQ(b[0x4E + 2], 0x1F);
  EXPECT_EQ(b[0x4E + 20 + 2], 0x2F);
  EXPECT_EQ(std::memcmp(&b[0x4E + 20 + 3], "C:\\", 3), 0);
  EXPECT_EQ(b[0x4E + 45 + 2], 0x32);
  EXPECT_EQ(std::memcmp(&b[0x4E + 45 + 14], "a.exe\0", 6), 0);
  // LinkInfo: local path after a label-less fixed-disk volume.
  size_t info = 0x4E + listSize;
  EXPECT_EQ(Get32(b, info + 4), 0x1Cu);
  EXPECT_EQ(Get32(b, info + 8), 1u);
  EXPECT_EQ(Get32(b, info + 16), 0x2Du);
  EXPECT_EQ(Get32(b, info + 0x1C + 4), 3u);
  EXPECT_EQ(std::memcmp(&b[info + 0x2D], "C:\\a.exe\0", 9), 0);
  size_t strings = info + Get32(b, info);
  EXPECT_EQ(b[strings], 2);
  EXPECT_EQ(std::memcmp(&b[strings + 2], "-\0x\0", 4), 0);
  EXPECT_EQ(Get32(b, strings + 6), 0u);  // no extra data
  EXPECT_EQ(b.size(), strings + 10);
}

// A file as an older writer makes it: ANSI strings, LinkInfo only, the path
// split into base and suffix.
std::vector<uint8_t> AnsiLink() {
  std::vector<uint8_t> b;
  Put32(&b, 0x4C);
  const uint8_t clsid[16] = {0x01, 0x14, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  b.insert(b.end(), clsid, clsid + 16);
  Put32(&b, kHasLinkInfo | kHasArguments | kHasIconLocation);
  b.resize(0x4C, 0);
  std::string base = "D:\\Gry\\";
  std::string suffix = "Rycerz.exe";
  std::vector<uint8_t> info;
  Put32(&info, 0);
  Put32(&info, 0x1C);
  Put32(&info, 1);
  Put32(&info, 0x1C);
  Put32(&info, 0x1C + 0x11);
  Put32(&info, 0);
  Put32(&info, static_cast<uint32_t>(0x1C + 0x11 + base.size() + 1));
  Put32(&info, 0x11);
  Put32(&info, 3);
  Put32(&info, 0);
  Put32(&info, 0x10);
  info.push_back(0);
  info.insert(info.end(), base.begin(), base.end());
  info.push_back(0);
  info.insert(info.end(), suffix.begin(), suffix.end());
  info.push_back(0);
  info[0] = static_cast<uint8_t>(info.size());
  b.insert(b.end(), info.begin(), info.end());
  Put16(&b, 5);
  b.insert(b.end(), {'-', 'f', 'u', 'l', 'l'});
  Put16(&b, 3);
  b.insert(b.end(), {'a', 0xB3, 'b'});  // a Polish l-stroke in code page 1250
  Put32(&b, 0);
  return b;
}

TEST(ShellLinkFormat, ReadsAnsiStringsAndSplitLocalPath) {
  std::vector<uint8_t> b = AnsiLink();
  LinkData link;
  ASSERT_TRUE(ParseLink(b.data(), b.size(), 1250, &link));
  EXPECT_EQ(link.target, u"D:\\Gry\\Rycerz.exe");
  EXPECT_EQ(link.arguments.text, u"-full");
  EXPECT_EQ(link.iconLocation.text, u"a\u0142b");
  ASSERT_TRUE(ParseLink(b.data(), b.size(), 1252, &link));
  EXPECT_EQ(link.iconLocation.text, u"a\u00B3b");
  // Saved again it is written in UTF-16 with the same content.
  LinkData back = Reparse(link);
  EXPECT_EQ(back.target, u"D:\\Gry\\Rycerz.exe");
  EXPECT_EQ(back.iconLocation.text, u"a\u00B3b");
  // A count that includes the terminator, as some writers make it.
  LinkData one;
  one.arguments = {true, std::u16string(u"-full\0", 6)};
  std::vector<uint8_t> withNul = SerializeLink(one);
  ASSERT_TRUE(ParseLink(withNul.data(), withNul.size(), kCp, &one));
  EXPECT_EQ(one.arguments.text, u"-full");
}

// One file item as Windows XP and later write it: short primary name, then
// the extension block with the long name.
std::vector<uint8_t> ItemWithLongName(const std::string& shortName, const std::u16string& longName,
                                      uint16_t version) {
  std::vector<uint8_t> item;
  Put16(&item, 0);
  item.push_back(0x32);
  item.push_back(0);
  Put32(&item, 0);
  Put32(&item, 0);
  Put16(&item, 0x20);
  item.insert(item.end(), shortName.begin(), shortName.end());
  item.push_back(0);
  if (item.size() % 2) item.push_back(0);
  size_t nameAt = version >= 9 ? 0x2E : version >= 8 ? 0x2A : version >= 7 ? 0x26 : 0x14;
  std::vector<uint8_t> ext;
  Put16(&ext, 0);
  Put16(&ext, version);
  Put32(&ext, 0xBEEF0004);
  ext.resize(nameAt, 0);
  for (char16_t c : longName) Put16(&ext, c);
  Put16(&ext, 0);
  Put16(&ext, static_cast<uint32_t>(item.size()));
  ext[0] = static_cast<uint8_t>(ext.size());
  item.insert(item.end(), ext.begin(), ext.end());
  item[0] = static_cast<uint8_t>(item.size());
  return item;
}

TEST(ShellLinkFormat, TakesTheTargetFromTheItemListWithoutLinkInfo) {
  for (uint16_t version : {3, 7, 8, 9}) {
    LinkData link;
    ASSERT_TRUE(SetLinkTarget(&link, "C:\\PROGRA~1", TargetFacts(), kCp, kCp));
    link.hasLinkInfo = false;
    link.linkInfo.clear();
    // Replace the terminator with an XP-style item and terminate again.
    link.idList.resize(link.idList.size() - 2);
    std::vector<uint8_t> item = ItemWithLongName("KNIGHT~1.EXE", u"Knight Game.exe", version);
    link.idList.insert(link.idList.end(), item.begin(), item.end());
    Put16(&link.idList, 0);
    LinkData back = Reparse(link);
    EXPECT_EQ(back.target, u"C:\\PROGRA~1\\Knight Game.exe") << version;
  }
}

TEST(ShellLinkFormat, ForceNoLinkInfoPrefersTheItemList) {
  LinkData link;
  ASSERT_TRUE(SetLinkTarget(&link, "C:\\one.exe", TargetFacts(), kCp, kCp));
  LinkData other;
  ASSERT_TRUE(SetLinkTarget(&other, "C:\\two.exe", TargetFacts(), kCp, kCp));
  link.linkInfo = other.linkInfo;
  EXPECT_EQ(Reparse(link).target, u"C:\\two.exe");
  link.flags |= kForceNoLinkInfo;
  EXPECT_EQ(Reparse(link).target, u"C:\\one.exe");
}

TEST(ShellLinkFormat, ReadsANetworkTarget) {
  const std::string net = "\\\\srv\\games";
  const std::string suffix = "knight.exe";
  uint32_t networkSize = static_cast<uint32_t>(0x14 + net.size() + 1);
  std::vector<uint8_t> info;
  Put32(&info, 0);
  Put32(&info, 0x1C);
  Put32(&info, 2);
  Put32(&info, 0);
  Put32(&info, 0);
  Put32(&info, 0x1C);
  Put32(&info, 0x1C + networkSize);
  Put32(&info, networkSize);  // CommonNetworkRelativeLink
  Put32(&info, 2);
  Put32(&info, 0x14);
  Put32(&info, 0);
  Put32(&info, 0x20000);
  info.insert(info.end(), net.begin(), net.end());
  info.push_back(0);
  info.insert(info.end(), suffix.begin(), suffix.end());
  info.push_back(0);
  info[0] = static_cast<uint8_t>(info.size());
  LinkData link;
  link.hasLinkInfo = true;
  link.linkInfo = info;
  EXPECT_EQ(Reparse(link).target, u"\\\\srv\\games\\knight.exe");
}

TEST(ShellLinkFormat, RefusesWhatIsNotALinkOrIsCutShort) {
  std::vector<uint8_t> b = SerializeLink(GameLink());
  LinkData link;
  EXPECT_TRUE(ParseLink(b.data(), b.size(), kCp, &link));
  // Every cut inside the required parts is refused; a cut inside the extra
  // data area (just its terminator here) still yields the link.
  for (size_t n = 0; n + 4 < b.size(); ++n) {
    EXPECT_FALSE(ParseLink(b.data(), n, kCp, &link)) << n;
  }
  EXPECT_TRUE(ParseLink(b.data(), b.size() - 4, kCp, &link));
  std::vector<uint8_t> bad = b;
  bad[5] ^= 1;  // another class
  EXPECT_FALSE(ParseLink(bad.data(), bad.size(), kCp, &link));
  bad = b;
  bad[0] = 0x4D;
  EXPECT_FALSE(ParseLink(bad.data(), bad.size(), kCp, &link));
  std::vector<uint8_t> huge(kMaxLinkFileSize + 1, 0);
  std::memcpy(huge.data(), b.data(), b.size());
  EXPECT_FALSE(ParseLink(huge.data(), huge.size(), kCp, &link));
}

TEST(ShellLinkFormat, IgnoresLinkInfoWhoseOffsetsLeaveTheStructure) {
  // The item list names one file and LinkInfo another, so the test sees
  // which one the reader trusted.
  LinkData link;
  ASSERT_TRUE(SetLinkTarget(&link, "C:\\one.exe", TargetFacts(), kCp, kCp));
  LinkData other;
  ASSERT_TRUE(SetLinkTarget(&other, "C:\\two.exe", TargetFacts(), kCp, kCp));
  link.linkInfo = other.linkInfo;
  std::vector<uint8_t> b = SerializeLink(link);
  size_t info = 0x4E + link.idList.size();
  uint32_t size = Get32(b, info);
  LinkData out;
  ASSERT_TRUE(ParseLink(b.data(), b.size(), kCp, &out));
  EXPECT_EQ(out.target, u"C:\\two.exe");
  for (size_t field : {16u, 24u}) {
    std::vector<uint8_t> bad = b;
    bad[info + field] = static_cast<uint8_t>(size);  // points at its own end
    bad[info + field + 1] = static_cast<uint8_t>(size >> 8);
    ASSERT_TRUE(ParseLink(bad.data(), bad.size(), kCp, &out)) << field;
    EXPECT_EQ(out.target, u"C:\\one.exe") << field;
  }
  // A local path without its terminator inside the structure.
  std::vector<uint8_t> bad = b;
  for (uint32_t i = 0x2D; i < size; ++i) {
    if (bad[info + i] == 0) bad[info + i] = 'x';
  }
  ASSERT_TRUE(ParseLink(bad.data(), bad.size(), kCp, &out));
  EXPECT_EQ(out.target, u"C:\\one.exe");
  // A size beyond the file is a broken file, not a broken path.
  bad = b;
  bad[info + 1] = 0x40;
  EXPECT_FALSE(ParseLink(bad.data(), bad.size(), kCp, &out));
}

TEST(ShellLinkFormat, MalformedExtraDataEndsTheBlockList) {
  LinkData link = GameLink();
  link.extraBlocks.push_back(Block(0xA0000002, 16, 1));
  std::vector<uint8_t> b = SerializeLink(link);
  b.resize(b.size() - 4);  // drop the terminator
  std::vector<uint8_t> tail = Block(0xA0000008, 32, 2);
  tail[0] = 0xFF;  // claims more than the file holds
  b.insert(b.end(), tail.begin(), tail.end());
  LinkData out;
  ASSERT_TRUE(ParseLink(b.data(), b.size(), kCp, &out));
  EXPECT_EQ(out.extraBlocks.size(), 1u);
  EXPECT_EQ(out.arguments.text, u"-window");
}

TEST(ShellLinkFormat, NewTargetDropsWhatDescribedTheOldOne) {
  LinkData link = GameLink();
  link.relativePath = {true, u".\\knight.exe"};
  link.flags |= kHasExpString | kHasDarwinId | kForceNoLinkInfo | kEnableTargetMetadata;
  for (uint32_t sig : {0xA0000001u, 0xA0000002u, 0xA0000003u, 0xA0000005u, 0xA0000006u, 0xA0000007u,
                       0xA0000009u, 0xA000000Bu, 0xA000000Cu}) {
    link.extraBlocks.push_back(Block(sig, 8, 0));
  }
  TargetFacts dir;
  dir.exists = true;
  dir.isDirectory = true;
  dir.attributes = 0x10;
  ASSERT_TRUE(SetLinkTarget(&link, "c:/Games/Knight2", dir, kCp, kCp));
  LinkData back = Reparse(link);
  EXPECT_EQ(back.target, u"c:\\Games\\Knight2");
  EXPECT_FALSE(back.relativePath.present);
  EXPECT_EQ(back.flags & (kHasExpString | kHasDarwinId | kForceNoLinkInfo | kEnableTargetMetadata),
            0u);
  std::vector<uint32_t> kept;
  for (const auto& block : back.extraBlocks) kept.push_back(Get32(block, 4));
  EXPECT_EQ(kept, (std::vector<uint32_t>{0xA0000002u, 0xA0000007u}));
  // What belongs to the shortcut itself stays.
  EXPECT_EQ(back.arguments.text, u"-window");
  EXPECT_EQ(back.workingDir.text, u"C:\\Games\\Knight");
  EXPECT_EQ(back.name.text, u"Play");
  EXPECT_EQ(back.hotKey, 0x0341);
  EXPECT_EQ(back.fileAttributes, 0x10u);
  // The last item ("Knight2", 22 bytes, before the terminator) is a folder now.
  ASSERT_GT(back.idList.size(), 24u);
  EXPECT_EQ(back.idList[back.idList.size() - 2 - 22 + 2], 0x31);
}

// A Polish path (code page 1250) written on a Western machine (1252): every
// reader finds the same names, from the UTF-16 LinkInfo, from the item list
// when the LinkInfo is ANSI only (Wine writes look-alikes there), and from
// items whose extension Wine leaves without version and signature. The ANSI
// copies hold '?' where 1252 has no letter, never a look-alike.
TEST(ShellLinkFormat, NamesOutsideAsciiTravelInUtf16) {
  const std::u16string polish = u"C:\\Gry\\\u017B\u00F3\u0142w\\gra.exe";
  LinkData link;
  ASSERT_TRUE(SetLinkTarget(&link, "C:\\Gry\\\xAF\xF3\xB3w\\gra.exe", TargetFacts(), 1250, 1252));
  EXPECT_EQ(link.target, polish);
  const std::string text = "C:\\Gry\\?\xF3?w\\gra.exe";
  const std::vector<uint8_t> ansi(text.begin(), text.end());
  EXPECT_NE(std::search(link.linkInfo.begin(), link.linkInfo.end(), ansi.begin(), ansi.end()),
            link.linkInfo.end());

  LinkData lookAlike;
  ASSERT_TRUE(SetLinkTarget(&lookAlike, "C:\\Gry\\Z\xF3lw\\gra.exe", TargetFacts(), 1252, 1252));
  LinkData ansiInfo = link;
  ansiInfo.linkInfo = lookAlike.linkInfo;
  ansiInfo.linkInfo[4] = 0x1C;  // a header without the UTF-16 offsets: ANSI only
  LinkData wineItems = link;
  wineItems.flags |= kForceNoLinkInfo;
  const uint8_t sig[] = {0x04, 0x00, 0xEF, 0xBE};
  int zeroed = 0;
  for (auto at = wineItems.idList.begin();
       (at = std::search(at, wineItems.idList.end(), sig, sig + 4)) != wineItems.idList.end();
       ++zeroed) {
    std::fill(at - 2, at + 4, 0);
  }
  ASSERT_EQ(zeroed, 1);
  // An item list without UTF-16 names leaves the LinkInfo the target.
  LinkData asciiList, elsewhere;
  ASSERT_TRUE(SetLinkTarget(&asciiList, "C:\\Gry\\Zolw\\gra.exe", TargetFacts(), 1252, 1252));
  ASSERT_TRUE(SetLinkTarget(&elsewhere, "D:\\Inna\\gra.exe", TargetFacts(), 1252, 1252));
  asciiList.linkInfo = elsewhere.linkInfo;
  struct Case {
    const char* what;
    const LinkData& link;
    std::u16string want;
  } cases[] = {
      {"UTF-16 LinkInfo", link, polish},
      {"ANSI LinkInfo with a look-alike", ansiInfo, polish},
      {"Wine's item extension", wineItems, polish},
      {"ASCII item list", asciiList, u"D:\\Inna\\gra.exe"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = SerializeLink(c.link);
    for (int cp : {1250, 1252}) {
      LinkData back;
      ASSERT_TRUE(ParseLink(bytes.data(), bytes.size(), cp, &back)) << c.what;
      EXPECT_EQ(back.target, c.want) << c.what << " read in " << cp;
    }
  }
}

TEST(ShellLinkFormat, RefusesTargetsThatAreNotDrivePaths) {
  LinkData link = GameLink();
  std::vector<uint8_t> before = SerializeLink(link);
  for (const char* path : {"knight.exe", "\\\\srv\\share\\x.exe", "1:\\x", "C:x.exe"}) {
    EXPECT_FALSE(SetLinkTarget(&link, path, TargetFacts(), kCp, kCp)) << path;
  }
  EXPECT_EQ(SerializeLink(link), before);
  ASSERT_TRUE(SetLinkTarget(&link, "", TargetFacts(), kCp, kCp));
  LinkData back = Reparse(link);
  EXPECT_TRUE(back.target.empty());
  EXPECT_FALSE(back.hasIdList);
  EXPECT_FALSE(back.hasLinkInfo);
}

TEST(ShellLinkFormat, SurvivesCorruptedFiles) {
  LinkData link = GameLink();
  link.extraBlocks.push_back(Block(0xA0000002, 40, 7));
  std::vector<uint8_t> good = SerializeLink(link);
  std::mt19937 rng(1234);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> b = good;
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    if (rng() % 3 == 0) b.resize(rng() % b.size());
    LinkData out;
    if (ParseLink(b.data(), b.size(), kCp, &out)) {
      SerializeLink(out);  // whatever was accepted can be written again
    }
  }
}

}  // namespace
}  // namespace lnk
}  // namespace upkeep
