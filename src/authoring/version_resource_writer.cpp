#include "authoring/version_resource_writer.h"

#include <algorithm>
#include <map>

#include "authoring/le_bytes.h"
#include "platform/code_page.h"

namespace upkeep {

namespace {

constexpr int kMaxDepth = 8;

void Put16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>* out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

void PadTo(std::vector<uint8_t>* out, size_t alignment) {
  while (out->size() % alignment != 0) out->push_back(0);
}

bool WriteNode(const VersionNode& node, int depth, std::vector<uint8_t>* out) {
  if (depth > kMaxDepth) return false;
  PadTo(out, 4);
  const size_t start = out->size();
  uint32_t value_length = node.value_length >= 0 ? static_cast<uint32_t>(node.value_length)
                          : node.type != 0       ? static_cast<uint32_t>(node.value.size() / 2)
                                                 : static_cast<uint32_t>(node.value.size());
  Put16(out, 0);
  Put16(out, value_length);
  Put16(out, node.type);
  for (char16_t c : node.key) Put16(out, c);
  Put16(out, 0);
  PadTo(out, 4);
  out->insert(out->end(), node.value.begin(), node.value.end());
  for (const VersionNode& child : node.children) {
    if (!WriteNode(child, depth + 1, out)) return false;
  }
  Set16(out, start, static_cast<uint32_t>(out->size() - start));
  return true;
}

VersionNode TextNode(const std::string& key, const std::vector<VersionNode>& children) {
  VersionNode n;
  n.key = Utf8ToUtf16(key);
  n.type = 1;
  n.children = children;
  return n;
}

std::vector<uint8_t> FixedInfo(const VersionResource& r) {
  std::vector<uint8_t> v;
  Put32(&v, 0xFEEF04BDu);
  Put32(&v, 0x00010000u);
  Put32(&v, (static_cast<uint32_t>(r.file_version[0]) << 16) | r.file_version[1]);
  Put32(&v, (static_cast<uint32_t>(r.file_version[2]) << 16) | r.file_version[3]);
  Put32(&v, (static_cast<uint32_t>(r.product_version[0]) << 16) | r.product_version[1]);
  Put32(&v, (static_cast<uint32_t>(r.product_version[2]) << 16) | r.product_version[3]);
  Put32(&v, 0x3F);     // flags mask
  Put32(&v, 0);        // flags
  Put32(&v, 0x40004);  // Windows NT, 32-bit
  Put32(&v, 1);        // application
  Put32(&v, 0);        // subtype
  Put32(&v, 0);        // date
  Put32(&v, 0);
  return v;
}

uint32_t AlignUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

// The ".rsrc" section: directories by type, name and language, then the data
// entries, then the data, each piece 8-aligned. `rva` is where it will live.
std::vector<uint8_t> ResourceSection(const std::vector<PeResourceEntry>& entries, uint32_t rva) {
  std::map<uint16_t, std::map<uint16_t, std::map<uint16_t, const PeResourceEntry*>>> tree;
  for (const PeResourceEntry& e : entries) tree[e.type][e.id][e.language] = &e;
  uint32_t size = 16 + 8 * static_cast<uint32_t>(tree.size());
  uint32_t leaves = 0;
  for (const auto& type : tree) {
    size += 16 + 8 * static_cast<uint32_t>(type.second.size());
    for (const auto& name : type.second) {
      size += 16 + 8 * static_cast<uint32_t>(name.second.size());
      leaves += static_cast<uint32_t>(name.second.size());
    }
  }
  uint32_t data_entries = AlignUp(size, 8);
  uint32_t data_at = data_entries + 16 * leaves;
  std::vector<uint8_t> out;
  std::vector<uint8_t> data;
  std::vector<uint8_t> leaf_bytes;
  // Directories are written breadth-first so each knows its children's offsets.
  auto dir_header = [](std::vector<uint8_t>* o, size_t ids) {
    Put32(o, 0);
    Put32(o, 0);
    Put16(o, 0);
    Put16(o, 0);
    Put16(o, 0);
    Put16(o, static_cast<uint32_t>(ids));
  };
  uint32_t next_dir = 16 + 8 * static_cast<uint32_t>(tree.size());
  dir_header(&out, tree.size());
  for (const auto& type : tree) {
    Put32(&out, type.first);
    Put32(&out, next_dir | 0x80000000u);
    next_dir += 16 + 8 * static_cast<uint32_t>(type.second.size());
  }
  for (const auto& type : tree) {
    dir_header(&out, type.second.size());
    for (const auto& name : type.second) {
      Put32(&out, name.first);
      Put32(&out, next_dir | 0x80000000u);
      next_dir += 16 + 8 * static_cast<uint32_t>(name.second.size());
    }
  }
  uint32_t leaf = 0;
  for (const auto& type : tree) {
    for (const auto& name : type.second) {
      dir_header(&out, name.second.size());
      for (const auto& lang : name.second) {
        Put32(&out, lang.first);
        Put32(&out, data_entries + 16 * leaf++);
        PadTo(&data, 8);
        Put32(&leaf_bytes, rva + data_at + static_cast<uint32_t>(data.size()));
        Put32(&leaf_bytes, static_cast<uint32_t>(lang.second->data.size()));
        Put32(&leaf_bytes, 0);
        Put32(&leaf_bytes, 0);
        data.insert(data.end(), lang.second->data.begin(), lang.second->data.end());
      }
    }
  }
  PadTo(&out, 8);
  out.insert(out.end(), leaf_bytes.begin(), leaf_bytes.end());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace

std::vector<uint8_t> WriteResourceSection(const std::vector<PeResourceEntry>& resources,
                                          uint32_t rva) {
  return ResourceSection(resources, rva);
}

std::vector<uint8_t> VersionText(const std::string& utf8) {
  std::vector<uint8_t> v;
  for (char16_t c : Utf8ToUtf16(utf8)) Put16(&v, c);
  Put16(&v, 0);
  return v;
}

VersionNode MakeVersionTree(const VersionResource& resource) {
  VersionNode root;
  root.key = u"VS_VERSION_INFO";
  root.type = 0;
  root.value = FixedInfo(resource);
  if (!resource.tables.empty()) {
    VersionNode files = TextNode("StringFileInfo", {});
    for (const VersionStringTable& t : resource.tables) {
      VersionNode table = TextNode(t.key, {});
      for (const auto& s : t.strings) {
        VersionNode str = TextNode(s.first, {});
        str.value = VersionText(s.second);
        table.children.push_back(str);
      }
      files.children.push_back(table);
    }
    root.children.push_back(files);
  }
  if (!resource.translations.empty()) {
    VersionNode var;
    var.key = u"Translation";
    var.type = 0;
    for (uint32_t t : resource.translations) Put32(&var.value, t);
    root.children.push_back(TextNode("VarFileInfo", {var}));
  }
  return root;
}

std::vector<uint8_t> WriteVersionBlock(const VersionNode& root) {
  std::vector<uint8_t> out;
  if (!WriteNode(root, 0, &out)) out.clear();
  return out;
}

std::vector<uint8_t> WritePeImage(const std::vector<PeResourceEntry>& resources, bool pe32_plus) {
  constexpr uint32_t kFileAlign = 0x200, kSectionAlign = 0x1000, kRsrcRva = 0x1000;
  const std::vector<uint8_t> rsrc = ResourceSection(resources, kRsrcRva);
  const uint32_t raw_size = AlignUp(static_cast<uint32_t>(rsrc.size()), kFileAlign);
  const uint16_t optional_size = pe32_plus ? 240 : 224;

  std::vector<uint8_t> out(0x40, 0);
  out[0] = 'M';
  out[1] = 'Z';
  Set32(&out, 0x3C, 0x40);
  Put16(&out, 'P' | ('E' << 8));  // signature "PE\0\0"
  Put16(&out, 0);
  Put16(&out, pe32_plus ? 0x8664 : 0x14C);  // machine
  Put16(&out, 1);                           // sections
  Put32(&out, 0);                           // time stamp
  Put32(&out, 0);
  Put32(&out, 0);
  Put16(&out, optional_size);
  Put16(&out, pe32_plus ? 0x2022 : 0x2102);  // a DLL image
  const size_t optional = out.size();
  Put16(&out, pe32_plus ? 0x20B : 0x10B);
  Put16(&out, 0);         // linker version
  Put32(&out, 0);         // size of code
  Put32(&out, raw_size);  // size of initialised data
  Put32(&out, 0);         // size of uninitialised data
  Put32(&out, 0);         // entry point: none
  Put32(&out, kRsrcRva);  // base of code
  if (pe32_plus) {
    Put32(&out, 0x80000000u);  // image base 0x180000000
    Put32(&out, 0x1);
  } else {
    Put32(&out, kRsrcRva);     // base of data
    Put32(&out, 0x10000000u);  // image base
  }
  Put32(&out, kSectionAlign);
  Put32(&out, kFileAlign);
  Put16(&out, 5);  // OS version
  Put16(&out, 1);
  Put16(&out, 0);  // image version
  Put16(&out, 0);
  Put16(&out, 5);  // subsystem version
  Put16(&out, 1);
  Put32(&out, 0);
  Put32(&out, kRsrcRva + AlignUp(static_cast<uint32_t>(rsrc.size()), kSectionAlign));
  Put32(&out, kFileAlign);  // size of headers
  Put32(&out, 0);           // checksum
  Put16(&out, 2);           // GUI
  Put16(&out, 0);
  for (int i = 0; i < 4; ++i) {  // stack and heap sizes
    Put32(&out, 0x100000);
    if (pe32_plus) Put32(&out, 0);
  }
  Put32(&out, 0);   // loader flags
  Put32(&out, 16);  // data directories
  for (int i = 0; i < 16; ++i) {
    Put32(&out, i == 2 ? kRsrcRva : 0);
    Put32(&out, i == 2 ? static_cast<uint32_t>(rsrc.size()) : 0);
  }
  out.resize(optional + optional_size, 0);
  for (char c : {'.', 'r', 's', 'r', 'c', '\0', '\0', '\0'}) out.push_back(static_cast<uint8_t>(c));
  Put32(&out, static_cast<uint32_t>(rsrc.size()));
  Put32(&out, kRsrcRva);
  Put32(&out, raw_size);
  Put32(&out, kFileAlign);
  Put32(&out, 0);
  Put32(&out, 0);
  Put16(&out, 0);
  Put16(&out, 0);
  Put32(&out, 0x40000040u);  // initialised data, readable
  out.resize(kFileAlign, 0);
  out.insert(out.end(), rsrc.begin(), rsrc.end());
  out.resize(kFileAlign + raw_size, 0);
  return out;
}

std::vector<uint8_t> WriteVersionedPe(const VersionResource& resource, bool pe32_plus) {
  PeResourceEntry e;
  e.data = WriteVersionResource(resource);
  return WritePeImage({e}, pe32_plus);
}

}  // namespace upkeep
