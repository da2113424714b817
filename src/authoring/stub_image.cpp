#include "authoring/stub_image.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "authoring/le_bytes.h"
#include "authoring/version_resource_writer.h"

namespace upkeep {

namespace {

constexpr uint16_t kIconType = 3;
constexpr uint16_t kGroupIconType = 14;
constexpr uint16_t kVersionType = 16;
constexpr uint16_t kManifestType = 24;
constexpr uint16_t kMainIconGroup = 128;
constexpr uint32_t kDirectoryFlag = 0x80000000u;
constexpr uint32_t kNameFlag = 0x80000000u;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint32_t kMaxResources = 4096;

uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(Get16(b, at)) | static_cast<uint32_t>(Get16(b, at + 2)) << 16;
}
uint32_t AlignUp(uint32_t v, uint32_t a) { return a == 0 ? v : (v + a - 1) / a * a; }

bool Fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

// The headers of a PE image, with every offset checked against the image.
struct Headers {
  size_t optional = 0;  // start of the optional header
  size_t directories = 0;
  uint32_t directory_count = 0;
  size_t sections = 0;  // start of the section table
  uint16_t section_count = 0;
  uint32_t file_alignment = 0;
  uint32_t section_alignment = 0;
};

bool ReadHeaders(const std::vector<uint8_t>& b, Headers* h) {
  if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z') return false;
  const size_t nt = Get32(b, 0x3C);
  if (nt > b.size() || b.size() - nt < 24 || std::memcmp(&b[nt], "PE\0\0", 4) != 0) return false;
  h->section_count = Get16(b, nt + 6);
  const size_t optional_size = Get16(b, nt + 20);
  h->optional = nt + 24;
  if (optional_size < 2 || b.size() - h->optional < optional_size) return false;
  const uint16_t magic = Get16(b, h->optional);
  size_t count_at;
  if (magic == 0x10B) {
    count_at = 92;
  } else if (magic == 0x20B) {
    count_at = 108;
  } else {
    return false;
  }
  if (optional_size < count_at + 4) return false;
  h->directories = h->optional + count_at + 4;
  h->directory_count = Get32(b, h->optional + count_at);
  const size_t room = (optional_size - count_at - 4) / 8;
  if (h->directory_count > room) h->directory_count = static_cast<uint32_t>(room);
  h->file_alignment = Get32(b, h->optional + 36);
  h->section_alignment = Get32(b, h->optional + 32);
  h->sections = h->optional + optional_size;
  return b.size() - h->sections >= kSectionHeaderSize * h->section_count;
}

size_t Directory(const Headers& h, uint32_t index) { return h.directories + 8 * index; }

// The resource tree, read with every offset checked; numbered entries only.
class ResourceReader {
 public:
  ResourceReader(const std::vector<uint8_t>& section, uint32_t rva) : s_(section), rva_(rva) {}

  bool Read(std::vector<PeResourceEntry>* out, std::string* error) {
    std::vector<std::pair<uint32_t, uint32_t>> types;
    if (!Entries(0, true, &types, error)) return false;
    for (const auto& type : types) {
      std::vector<std::pair<uint32_t, uint32_t>> names;
      if (!Entries(type.second, true, &names, error)) return false;
      for (const auto& name : names) {
        std::vector<std::pair<uint32_t, uint32_t>> languages;
        if (!Entries(name.second, false, &languages, error)) return false;
        for (const auto& language : languages) {
          const uint32_t leaf = language.second;
          if (leaf > s_.size() || s_.size() - leaf < 16) return Fail(error, "bad resource entry");
          const uint32_t data_rva = Get32(s_, leaf);
          const uint32_t size = Get32(s_, leaf + 4);
          if (data_rva < rva_ || data_rva - rva_ > s_.size() ||
              s_.size() - (data_rva - rva_) < size)
            return Fail(error, "resource data outside the resource section");
          PeResourceEntry e;
          e.type = static_cast<uint16_t>(type.first);
          e.id = static_cast<uint16_t>(name.first);
          e.language = static_cast<uint16_t>(language.first);
          e.data.assign(s_.begin() + (data_rva - rva_), s_.begin() + (data_rva - rva_) + size);
          out->push_back(std::move(e));
          if (out->size() > kMaxResources) return Fail(error, "too many resources");
        }
      }
    }
    return true;
  }

 private:
  // The (id, target) pairs of the directory at `offset`; each target must be
  // a directory when `directories`, data otherwise.
  bool Entries(uint32_t offset, bool directories, std::vector<std::pair<uint32_t, uint32_t>>* out,
               std::string* error) {
    if (!visited_.insert(offset).second) return Fail(error, "resource directory loop");
    if (offset > s_.size() || s_.size() - offset < 16) return Fail(error, "bad resource directory");
    const uint32_t named = Get16(s_, offset + 12);
    const uint32_t ids = Get16(s_, offset + 14);
    if (named != 0) return Fail(error, "the stub has named resources");
    if ((s_.size() - offset - 16) / 8 < ids) return Fail(error, "bad resource directory");
    for (uint32_t i = 0; i < ids; ++i) {
      const uint32_t id = Get32(s_, offset + 16 + 8 * i);
      const uint32_t target = Get32(s_, offset + 20 + 8 * i);
      if ((id & kNameFlag) != 0 || id > 0xFFFF) return Fail(error, "the stub has named resources");
      if (((target & kDirectoryFlag) != 0) != directories)
        return Fail(error, "bad resource directory");
      out->push_back({id, target & ~kDirectoryFlag});
    }
    return true;
  }

  const std::vector<uint8_t>& s_;
  uint32_t rva_;
  std::set<uint32_t> visited_;
};

// The icon group's entries and their images from an .ico file.
bool ReadIcon(const std::vector<uint8_t>& ico, std::vector<std::vector<uint8_t>>* images,
              std::vector<std::vector<uint8_t>>* headers, std::string* error) {
  if (ico.size() < 6 || Get16(ico, 0) != 0 || Get16(ico, 2) != 1) {
    return Fail(error, "not an .ico file");
  }
  const uint32_t count = Get16(ico, 4);
  if (count == 0 || (ico.size() - 6) / 16 < count) return Fail(error, "not an .ico file");
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = 6 + 16 * i;
    const uint32_t size = Get32(ico, at + 8);
    const uint32_t offset = Get32(ico, at + 12);
    if (size == 0 || offset > ico.size() || ico.size() - offset < size)
      return Fail(error, "an image of the .ico file lies outside it");
    images->emplace_back(ico.begin() + offset, ico.begin() + offset + size);
    headers->emplace_back(ico.begin() + at, ico.begin() + at + 8);  // up to the size field
  }
  return true;
}

bool ReplaceIcon(std::vector<PeResourceEntry>* resources, const std::vector<uint8_t>& ico,
                 std::string* error) {
  std::vector<std::vector<uint8_t>> images, headers;
  if (!ReadIcon(ico, &images, &headers, error)) return false;
  // The main group: 128 where the stub has it, else its first.
  auto group = resources->end();
  for (auto it = resources->begin(); it != resources->end(); ++it) {
    if (it->type != kGroupIconType) continue;
    if (group == resources->end() || it->id == kMainIconGroup) group = it;
  }
  uint16_t group_id = kMainIconGroup;
  uint16_t language = 0x0409;
  std::set<uint16_t> old_icons;
  if (group != resources->end()) {
    group_id = group->id;
    language = group->language;
    const std::vector<uint8_t>& g = group->data;
    if (g.size() >= 6) {
      const uint32_t n = Get16(g, 4);
      for (uint32_t i = 0; i < n && 6 + 14 * (i + 1) <= g.size(); ++i)
        old_icons.insert(Get16(g, 6 + 14 * i + 12));
    }
  }
  resources->erase(std::remove_if(resources->begin(), resources->end(),
                                  [&](const PeResourceEntry& e) {
                                    return (e.type == kIconType && old_icons.count(e.id) != 0) ||
                                           (e.type == kGroupIconType && e.id == group_id);
                                  }),
                   resources->end());
  std::set<uint16_t> used;
  for (const PeResourceEntry& e : *resources) {
    if (e.type == kIconType) used.insert(e.id);
  }
  PeResourceEntry g;
  g.type = kGroupIconType;
  g.id = group_id;
  g.language = language;
  g.data = {0, 0, 1, 0};
  g.data.push_back(static_cast<uint8_t>(images.size()));
  g.data.push_back(static_cast<uint8_t>(images.size() >> 8));
  uint16_t next = 1;
  for (size_t i = 0; i < images.size(); ++i) {
    while (used.count(next) != 0) ++next;
    if (next == 0) return Fail(error, "no icon numbers left");
    used.insert(next);
    PeResourceEntry icon;
    icon.type = kIconType;
    icon.id = next;
    icon.language = language;
    icon.data = images[i];
    resources->push_back(std::move(icon));
    g.data.insert(g.data.end(), headers[i].begin(), headers[i].end());
    const uint32_t size = static_cast<uint32_t>(images[i].size());
    for (int k = 0; k < 4; ++k) g.data.push_back(static_cast<uint8_t>(size >> (8 * k)));
    g.data.push_back(static_cast<uint8_t>(next));
    g.data.push_back(static_cast<uint8_t>(next >> 8));
  }
  resources->push_back(std::move(g));
  return true;
}

struct ResourceSection {
  size_t header = 0;  // its section header
  uint32_t rva = 0;
  uint32_t raw_offset = 0;
  uint32_t raw_size = 0;
  std::vector<uint8_t> bytes;  // its file data
};

// The section that holds the resource directory, starting with it.
bool FindResourceSection(const std::vector<uint8_t>& b, const Headers& h, ResourceSection* r,
                         std::string* error) {
  if (h.directory_count <= 2 || Get32(b, Directory(h, 2)) == 0)
    return Fail(error, "the stub has no resources");
  r->rva = Get32(b, Directory(h, 2));
  for (uint16_t i = 0; i < h.section_count; ++i) {
    const size_t s = h.sections + kSectionHeaderSize * i;
    if (Get32(b, s + 12) != r->rva) continue;
    r->header = s;
    r->raw_offset = Get32(b, s + 20);
    r->raw_size = Get32(b, s + 16);
    if (r->raw_offset > b.size() || b.size() - r->raw_offset < r->raw_size)
      return Fail(error, "the resource section lies outside the file");
    const uint32_t virtual_size = Get32(b, s + 8);
    const uint32_t used = virtual_size == 0 ? r->raw_size : std::min(r->raw_size, virtual_size);
    r->bytes.assign(b.begin() + r->raw_offset, b.begin() + r->raw_offset + used);
    return true;
  }
  return Fail(error, "the stub's resources are not a section of their own");
}

std::string XmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// An assembly name from a product name: letters and digits, the rest as one
// dot, ".Update" after it.
std::string AssemblyName(const std::string& product) {
  std::string name;
  for (char c : product) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (plain) {
      name += c;
    } else if (!name.empty() && name.back() != '.') {
      name += '.';
    }
  }
  while (!name.empty() && name.back() == '.') name.pop_back();
  return (name.empty() ? std::string("Game") : name) + ".Update";
}

// Replaces the text between `open` and `close` after `from`; false when the
// manifest has no such place.
bool ReplaceBetween(std::string* xml, size_t from, const std::string& open,
                    const std::string& close, const std::string& text) {
  const size_t start = xml->find(open, from);
  if (start == std::string::npos) return false;
  const size_t end = xml->find(close, start + open.size());
  if (end == std::string::npos) return false;
  xml->replace(start + open.size(), end - start - open.size(), text);
  return true;
}

// The program's own manifest names the updater: it gets the publisher's
// names, as the version resource does. Only the program's identity (the
// first one) and its description change; what the manifest asks of the
// system stays.
void BrandManifest(std::vector<uint8_t>* data, const StubBranding& branding) {
  std::string product, description;
  for (const auto& kv : branding.strings) {
    if (kv.first == "ProductName") product = kv.second;
    if (kv.first == "FileDescription") description = kv.second;
  }
  if (description.empty()) description = product;
  std::string xml(data->begin(), data->end());
  const size_t identity = xml.find("<assemblyIdentity");
  if (identity != std::string::npos) {
    const size_t end = xml.find('>', identity);
    const size_t name = xml.find(" name=\"", identity);
    if (end != std::string::npos && name != std::string::npos && name < end) {
      ReplaceBetween(&xml, name, " name=\"", "\"", AssemblyName(product));
    }
  }
  if (!description.empty()) {
    ReplaceBetween(&xml, 0, "<description>", "</description>", XmlEscaped(description));
  }
  data->assign(xml.begin(), xml.end());
}

}  // namespace

bool IsPeImage(const std::vector<uint8_t>& image) {
  Headers h;
  return ReadHeaders(image, &h);
}

size_t PeChecksumOffset(const std::vector<uint8_t>& image) {
  Headers h;
  return ReadHeaders(image, &h) ? h.optional + 64 : 0;
}

bool StripSignature(std::vector<uint8_t>* image, bool* removed, std::string* error) {
  *removed = false;
  Headers h;
  if (!ReadHeaders(*image, &h) || h.directory_count <= 4) return true;
  const size_t dir = Directory(h, 4);
  const uint64_t offset = Get32(*image, dir);
  const uint64_t size = Get32(*image, dir + 4);
  if (size == 0) return true;
  if (offset + size != image->size()) {
    return Fail(error, "the stub's certificate table does not end it");
  }
  image->resize(static_cast<size_t>(offset));
  Set32(image, dir, 0);
  Set32(image, dir + 4, 0);
  *removed = true;
  return true;
}

void ParseVersionNumbers(const std::string& text, uint16_t out[4]) {
  for (int i = 0; i < 4; ++i) out[i] = 0;
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    if (at >= text.size() || text[at] < '0' || text[at] > '9') return;
    uint32_t v = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      v = std::min<uint32_t>(v * 10 + static_cast<uint32_t>(text[at] - '0'), 0xFFFF);
      ++at;
    }
    out[i] = static_cast<uint16_t>(v);
    if (at >= text.size() || text[at] != '.') return;
    ++at;
  }
}

bool ReadPeResources(const std::vector<uint8_t>& image, std::vector<PeResourceEntry>* resources,
                     std::string* error) {
  Headers h;
  ResourceSection r;
  if (!ReadHeaders(image, &h)) return Fail(error, "not a Windows program");
  if (!FindResourceSection(image, h, &r, error)) return false;
  ResourceReader reader(r.bytes, r.rva);
  return reader.Read(resources, error);
}

bool BrandStub(std::vector<uint8_t>* image, const StubBranding& branding, std::string* error) {
  std::vector<uint8_t>& b = *image;
  Headers h;
  if (!ReadHeaders(b, &h)) return Fail(error, "the stub is not a Windows program");
  if (h.directory_count > 4 && Get32(b, Directory(h, 4) + 4) != 0)
    return Fail(error, "the stub is signed");
  ResourceSection r;
  if (!FindResourceSection(b, h, &r, error)) return false;
  // The section must be last in memory and in the file, and end the file, so
  // that it can grow without moving anything else.
  for (uint16_t i = 0; i < h.section_count; ++i) {
    const size_t s = h.sections + kSectionHeaderSize * i;
    if (s != r.header && (Get32(b, s + 12) > r.rva || Get32(b, s + 20) > r.raw_offset))
      return Fail(error, "the stub's resource section is not its last");
  }
  if (static_cast<uint64_t>(r.raw_offset) + r.raw_size != b.size())
    return Fail(error, "the stub has data after its resource section");
  const size_t rsrc = r.header;
  const uint32_t resource_rva = r.rva;
  const uint32_t raw_offset = r.raw_offset;
  const uint32_t raw_size = r.raw_size;

  std::vector<PeResourceEntry> resources;
  ResourceReader reader(r.bytes, r.rva);
  if (!reader.Read(&resources, error)) return false;

  uint16_t version_language = 0x0409;
  for (const PeResourceEntry& e : resources) {
    if (e.type == kVersionType) version_language = e.language;
  }
  resources.erase(std::remove_if(resources.begin(), resources.end(),
                                 [](const PeResourceEntry& e) { return e.type == kVersionType; }),
                  resources.end());
  VersionResource version;
  std::copy(branding.file_version, branding.file_version + 4, version.file_version);
  std::copy(branding.product_version, branding.product_version + 4, version.product_version);
  version.tables.push_back({"040904b0", branding.strings});
  version.translations.push_back(0x0409u | 1200u << 16);
  PeResourceEntry v;
  v.type = kVersionType;
  v.id = 1;
  v.language = version_language;
  v.data = WriteVersionResource(version);
  if (v.data.empty()) return Fail(error, "cannot write the version resource");
  resources.push_back(std::move(v));
  if (!branding.icon.empty() && !ReplaceIcon(&resources, branding.icon, error)) return false;
  for (PeResourceEntry& e : resources) {
    if (e.type == kManifestType) BrandManifest(&e.data, branding);
  }

  const std::vector<uint8_t> section = WriteResourceSection(resources, resource_rva);
  const uint32_t new_raw = AlignUp(static_cast<uint32_t>(section.size()), h.file_alignment);
  b.resize(raw_offset);
  b.insert(b.end(), section.begin(), section.end());
  b.resize(static_cast<size_t>(raw_offset) + new_raw, 0);
  Set32(&b, rsrc + 8, static_cast<uint32_t>(section.size()));
  Set32(&b, rsrc + 16, new_raw);
  Set32(&b, Directory(h, 2) + 4, static_cast<uint32_t>(section.size()));
  // Initialised data counts the section's file bytes; the image size ends
  // with the section.
  const uint32_t initialised = Get32(b, h.optional + 8);
  Set32(&b, h.optional + 8, initialised - raw_size + new_raw);
  Set32(&b, h.optional + 56,
        AlignUp(resource_rva + static_cast<uint32_t>(section.size()), h.section_alignment));
  return true;
}

void PeChecksum::Add(const uint8_t* data, size_t size) {
  length_ += size;
  size_t i = 0;
  if (odd_byte_ >= 0 && size > 0) {
    sum_ += static_cast<uint32_t>(odd_byte_) | static_cast<uint32_t>(data[0]) << 8;
    sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
    odd_byte_ = -1;
    i = 1;
  }
  for (; i + 1 < size; i += 2) {
    sum_ += static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8;
    sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
  }
  if (i < size) odd_byte_ = data[i];
}

uint32_t PeChecksum::Value() const {
  uint32_t sum = sum_;
  if (odd_byte_ >= 0) {
    sum += static_cast<uint32_t>(odd_byte_);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + length_);
}

}  // namespace upkeep
