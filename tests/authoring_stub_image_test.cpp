// Branding a Windows stub: the version resource, the icon and the names in the
// manifest are rewritten, every other resource survives, and the result reads
// as the version API reads it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "authoring/stub_image.h"
#include "authoring/version_resource_writer.h"
#include "platform/code_page.h"
#include "platform/pe_version_reader.h"
#include "test_util.h"

namespace upkeep {
namespace {

using test::TempDir;

PeResourceEntry Resource(uint16_t type, uint16_t id, std::vector<uint8_t> data) {
  PeResourceEntry e;
  e.type = type;
  e.id = id;
  e.data = std::move(data);
  return e;
}

// A group icon of `ids`, as a resource compiler writes it.
std::vector<uint8_t> Group(const std::vector<uint16_t>& ids) {
  std::vector<uint8_t> g = {0, 0, 1, 0, static_cast<uint8_t>(ids.size()), 0};
  for (uint16_t id : ids) {
    std::vector<uint8_t> entry = {16, 16, 0, 0, 1, 0, 32, 0, 40, 0, 0, 0};
    entry.push_back(static_cast<uint8_t>(id));
    entry.push_back(static_cast<uint8_t>(id >> 8));
    g.insert(g.end(), entry.begin(), entry.end());
  }
  return g;
}

// An .ico file with one image per size given, each image `size` bytes of `size`.
std::vector<uint8_t> Ico(const std::vector<uint8_t>& sizes) {
  std::vector<uint8_t> ico = {0, 0, 1, 0, static_cast<uint8_t>(sizes.size()), 0};
  uint32_t offset = static_cast<uint32_t>(6 + 16 * sizes.size());
  for (uint8_t s : sizes) {
    std::vector<uint8_t> entry = {s, s, 0, 0, 1, 0, 32, 0};
    for (uint32_t v : {uint32_t{s}, offset}) {
      for (int k = 0; k < 4; ++k) entry.push_back(static_cast<uint8_t>(v >> (8 * k)));
    }
    ico.insert(ico.end(), entry.begin(), entry.end());
    offset += s;
  }
  for (uint8_t s : sizes) ico.insert(ico.end(), s, s);
  return ico;
}

std::string Query(const std::string& path, const std::string& key) {
  const uint32_t size = PeVersionInfoSize(path);
  std::vector<uint8_t> block(size);
  if (size == 0 || !PeVersionInfo(path, size, block.data())) return "<no resource>";
  const uint8_t* value = nullptr;
  uint32_t length = 0;
  if (!PeQueryVersionValue(block.data(), size, key, &value, &length)) return "<none>";
  if (key == "\\") {
    std::string words;
    for (size_t at : {8, 12, 16, 20}) {  // file version MS, LS, product version MS, LS
      uint32_t v = value[at] | value[at + 1] << 8 | value[at + 2] << 16 |
                   static_cast<uint32_t>(value[at + 3]) << 24;
      words += std::to_string(v >> 16) + "." + std::to_string(v & 0xFFFF) + ";";
    }
    return words;
  }
  // The ANSI interface answers in the ANSI code page.
  std::string text(reinterpret_cast<const char*>(value), length);
  while (!text.empty() && text.back() == 0) text.pop_back();
  return AnsiToUtf8(text);
}

TEST(AuthoringStubImageTest, BrandingRewritesVersionAndIconAndKeepsTheRest) {
  VersionResource ours;
  ours.tables.push_back({"040904b0", {{"CompanyName", "Upkeep"}, {"InternalName", "upkeep"}}});
  ours.translations.push_back(0x04B00409);
  const std::string manifest_text =
      "<assembly><assemblyIdentity type=\"win32\" name=\"Upkeep.Updater\" version=\"1.0.0.0\"/>"
      "<description>Upkeep game updater</description><dependency><dependentAssembly>"
      "<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\"/>"
      "</dependentAssembly></dependency></assembly>";
  const std::vector<uint8_t> manifest(manifest_text.begin(), manifest_text.end());
  const std::vector<uint8_t> dialog(300, 0xD1);
  const std::vector<uint8_t> other_icon(50, 0x0E);
  std::vector<PeResourceEntry> resources = {Resource(16, 1, WriteVersionResource(ours)),
                                            Resource(24, 1, manifest),
                                            Resource(5, 102, dialog),
                                            Resource(3, 1, std::vector<uint8_t>(40, 1)),
                                            Resource(3, 2, std::vector<uint8_t>(40, 2)),
                                            Resource(3, 3, other_icon),
                                            Resource(14, 128, Group({1, 2})),
                                            Resource(14, 200, Group({3}))};
  for (bool pe32_plus : {false, true}) {
    std::vector<uint8_t> stub = WritePeImage(resources, pe32_plus);

    StubBranding branding;
    branding.strings = {{"CompanyName", "Rivet Works"},
                        {"FileDescription", "Sample Game 1.0.1 update & <more>"},
                        {"ProductName", "Sample Game \xC3\xA9"},  // non-ASCII text survives
                        {"ProductVersion", "1.0.1"}};
    ParseVersionNumbers("1.0.1 beta", branding.file_version);
    ParseVersionNumbers("2.70000.3.4.5", branding.product_version);
    // Larger than the old section: it has to grow.
    branding.icon = Ico({16, 32, 48, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255});
    std::string error;
    ASSERT_TRUE(BrandStub(&stub, branding, &error)) << error;

    TempDir dir;
    const std::string path = dir.Join("branded.exe");
    ASSERT_TRUE(test::WriteFileBytes(path, stub));
    const std::string table = "\\StringFileInfo\\040904b0\\";
    EXPECT_EQ(Query(path, table + "CompanyName"), "Rivet Works");
    EXPECT_EQ(Query(path, table + "FileDescription"), "Sample Game 1.0.1 update & <more>");
    EXPECT_EQ(Query(path, table + "ProductName"), "Sample Game \xC3\xA9");
    EXPECT_EQ(Query(path, table + "ProductVersion"), "1.0.1");
    EXPECT_EQ(Query(path, table + "InternalName"), "<none>");  // nothing of ours is left
    EXPECT_EQ(Query(path, "\\"), "1.0;1.0;2.65535;3.4;");

    std::vector<PeResourceEntry> after;
    ASSERT_TRUE(ReadPeResources(stub, &after, &error)) << error;
    auto find = [&after](uint16_t type, uint16_t id) -> const PeResourceEntry* {
      for (const PeResourceEntry& e : after) {
        if (e.type == type && e.id == id) return &e;
      }
      return nullptr;
    };
    // The manifest names the publisher's program, not ours; what it asks of
    // the system stays.
    ASSERT_NE(find(24, 1), nullptr);
    EXPECT_EQ(std::string(find(24, 1)->data.begin(), find(24, 1)->data.end()),
              "<assembly><assemblyIdentity type=\"win32\" name=\"Sample.Game.Update\" "
              "version=\"1.0.0.0\"/><description>Sample Game 1.0.1 update &amp; &lt;more&gt;"
              "</description><dependency><dependentAssembly><assemblyIdentity type=\"win32\" "
              "name=\"Microsoft.Windows.Common-Controls\"/></dependentAssembly></dependency>"
              "</assembly>");
    ASSERT_NE(find(5, 102), nullptr);
    EXPECT_EQ(find(5, 102)->data, dialog);
    // The other group and its icon are untouched; the main group names new
    // icons with the .ico's images, and the old ones are gone.
    ASSERT_NE(find(14, 200), nullptr);
    EXPECT_EQ(find(14, 200)->data, Group({3}));
    ASSERT_NE(find(3, 3), nullptr);
    EXPECT_EQ(find(3, 3)->data, other_icon);
    const PeResourceEntry* group = find(14, 128);
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(group->data.size(), 6u + 14u * 13u);
    EXPECT_EQ(group->data[4], 13);
    size_t icons = 0;
    for (const PeResourceEntry& e : after) icons += e.type == 3 ? 1 : 0;
    EXPECT_EQ(icons, 14u);
    for (size_t i = 0; i < 13; ++i) {
      const uint8_t* entry = &group->data[6 + 14 * i];
      const PeResourceEntry* icon = find(3, static_cast<uint16_t>(entry[12] | entry[13] << 8));
      ASSERT_NE(icon, nullptr) << i;
      EXPECT_NE(icon->id, 3);
      EXPECT_EQ(icon->data, std::vector<uint8_t>(entry[0], entry[0]));
    }

    // What cannot be rewritten safely is refused and left alone.
    std::vector<uint8_t> appended = stub;
    appended.push_back(0);
    EXPECT_FALSE(BrandStub(&appended, branding, &error));
    EXPECT_EQ(appended.size(), stub.size() + 1);
    StubBranding bad_icon = branding;
    bad_icon.icon = {0, 0, 1, 0, 1, 0};
    EXPECT_FALSE(BrandStub(&stub, bad_icon, &error));
  }
}

TEST(AuthoringStubImageTest, SignatureIsStrippedOnlyWhenItEndsTheStub) {
  const std::vector<uint8_t> plain = WriteVersionedPe(VersionResource());
  const size_t security = 0x40 + 24 + 96 + 4 * 8;
  std::vector<uint8_t> signed_stub = plain;
  signed_stub.insert(signed_stub.end(), 100, 0xAB);
  for (int k = 0; k < 4; ++k) {
    signed_stub[security + k] = static_cast<uint8_t>(plain.size() >> (8 * k));
    signed_stub[security + 4 + k] = static_cast<uint8_t>(100 >> (8 * k));
  }
  std::string error;
  StubBranding branding;
  std::vector<uint8_t> stub = signed_stub;
  EXPECT_FALSE(BrandStub(&stub, branding, &error));
  bool removed = false;
  ASSERT_TRUE(StripSignature(&stub, &removed, &error));
  EXPECT_TRUE(removed);
  EXPECT_EQ(stub, plain);
  ASSERT_TRUE(StripSignature(&stub, &removed, &error));
  EXPECT_FALSE(removed);
  std::vector<uint8_t> trailing = signed_stub;
  trailing.push_back(0);
  EXPECT_FALSE(StripSignature(&trailing, &removed, &error));
}

}  // namespace
}  // namespace upkeep
