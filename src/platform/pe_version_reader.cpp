#include "platform/pe_version_reader.h"

#include <cstring>
#include <memory>

#include "platform/code_page.h"
#include "platform/file_system.h"

namespace upkeep {

namespace {

constexpr uint16_t kResourceTypeVersion = 16;
constexpr uint16_t kVersionResourceId = 1;
constexpr uint32_t kDirectoryFlag = 0x80000000u;
// Languages tried before the first entry: neutral, then the user's and the
// system's default, which this reader takes to be US English.
constexpr uint16_t kLanguageOrder[] = {0x0000, 0x0409, 0x0009};

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct Section {
  uint32_t virtual_address;
  uint32_t virtual_size;
  uint32_t raw_size;
  uint32_t raw_offset;
};

// Reads an image by relative virtual address, as the loader lays it out.
class Image {
 public:
  explicit Image(File* file) : file_(file) {}

  bool Load() {
    file_size_ = file_->Size();
    uint8_t dos[64];
    if (!ReadFile(0, dos, sizeof(dos)) || dos[0] != 'M' || dos[1] != 'Z') return false;
    uint64_t nt = Le32(dos + 0x3C);
    uint8_t head[24];
    if (!ReadFile(nt, head, sizeof(head)) || memcmp(head, "PE\0\0", 4) != 0) return false;
    uint16_t sections = Le16(head + 4 + 2);
    uint16_t optional_size = Le16(head + 4 + 16);
    uint64_t optional = nt + 24;
    std::vector<uint8_t> opt(optional_size);
    if (optional_size < 2 || !ReadFile(optional, opt.data(), opt.size())) return false;
    uint16_t magic = Le16(opt.data());
    size_t count_at, dirs_at;
    if (magic == 0x10B) {
      count_at = 92;
      dirs_at = 96;
    } else if (magic == 0x20B) {
      count_at = 108;
      dirs_at = 112;
    } else {
      return false;
    }
    const size_t resource_dir = dirs_at + 2 * 8;
    if (opt.size() < resource_dir + 8 || opt.size() < 64) return false;
    if (Le32(opt.data() + count_at) <= 2) return false;
    header_size_ = Le32(opt.data() + 60);
    resource_rva_ = Le32(opt.data() + resource_dir);
    resource_size_ = Le32(opt.data() + resource_dir + 4);
    if (resource_rva_ == 0 || resource_size_ == 0) return false;
    std::vector<uint8_t> table(static_cast<size_t>(sections) * 40);
    if (!ReadFile(optional + optional_size, table.data(), table.size())) return false;
    for (uint16_t i = 0; i < sections; ++i) {
      const uint8_t* s = table.data() + static_cast<size_t>(i) * 40;
      sections_.push_back({Le32(s + 12), Le32(s + 8), Le32(s + 16), Le32(s + 20)});
    }
    return true;
  }

  // `n` bytes at `rva`; the part of a section past its file data reads as zeros.
  bool Read(uint64_t rva, void* out, size_t n) {
    for (const Section& s : sections_) {
      uint64_t span = s.virtual_size > s.raw_size ? s.virtual_size : s.raw_size;
      if (rva < s.virtual_address || rva >= s.virtual_address + span) continue;
      uint64_t in = rva - s.virtual_address;
      if (n > span - in) return false;
      uint8_t* dst = static_cast<uint8_t*>(out);
      uint64_t backed = in < s.raw_size ? s.raw_size - in : 0;
      size_t from_file = n < backed ? n : static_cast<size_t>(backed);
      if (from_file > 0 && !ReadFile(static_cast<uint64_t>(s.raw_offset) + in, dst, from_file)) {
        return false;
      }
      memset(dst + from_file, 0, n - from_file);
      return true;
    }
    if (rva + n <= header_size_) return ReadFile(rva, out, n);
    return false;
  }

  uint32_t resource_rva() const { return resource_rva_; }

 private:
  bool ReadFile(uint64_t offset, void* out, size_t n) {
    if (file_size_ < 0 || offset > static_cast<uint64_t>(file_size_) ||
        n > static_cast<uint64_t>(file_size_) - offset) {
      return false;
    }
    if (n == 0) return true;
    if (file_->Seek(static_cast<int64_t>(offset), SeekOrigin::kBegin) < 0) return false;
    return file_->Read(out, n) == static_cast<int64_t>(n);
  }

  File* file_;
  int64_t file_size_ = -1;
  uint32_t header_size_ = 0;
  uint32_t resource_rva_ = 0;
  uint32_t resource_size_ = 0;
  std::vector<Section> sections_;
};

struct DirectoryEntry {
  uint32_t name;
  uint32_t target;
};

// The entries of the resource directory at `offset` from the resource root.
class ResourceDirectory {
 public:
  ResourceDirectory(Image* image, uint32_t offset) : image_(image), offset_(offset) {}

  bool Load() {
    uint8_t head[16];
    if (!image_->Read(Rva(offset_), head, sizeof(head))) return false;
    named_ = Le16(head + 12);
    ids_ = Le16(head + 14);
    return true;
  }

  bool Entry(uint32_t index, DirectoryEntry* e) {
    uint8_t raw[8];
    if (!image_->Read(Rva(offset_) + 16 + 8ull * index, raw, sizeof(raw))) return false;
    e->name = Le32(raw);
    e->target = Le32(raw + 4);
    return true;
  }

  // Binary search over the numbered entries, as the loader does it; the entry
  // must lead to a directory or to data as `want_directory` says.
  bool FindId(uint16_t id, bool want_directory, uint32_t* target) {
    int64_t lo = named_, hi = static_cast<int64_t>(named_) + ids_ - 1;
    while (lo <= hi) {
      int64_t mid = (lo + hi) / 2;
      DirectoryEntry e;
      if (!Entry(static_cast<uint32_t>(mid), &e)) return false;
      uint16_t got = static_cast<uint16_t>(e.name & 0xFFFF);
      if (got == id) {
        if (((e.target & kDirectoryFlag) != 0) != want_directory) return false;
        *target = e.target & ~kDirectoryFlag;
        return true;
      }
      if (got > id) {
        hi = mid - 1;
      } else {
        lo = mid + 1;
      }
    }
    return false;
  }

  bool FindFirst(bool want_directory, uint32_t* target) {
    for (uint32_t i = 0; i < static_cast<uint32_t>(named_) + ids_; ++i) {
      DirectoryEntry e;
      if (!Entry(i, &e)) return false;
      if (((e.target & kDirectoryFlag) != 0) == want_directory) {
        *target = e.target & ~kDirectoryFlag;
        return true;
      }
    }
    return false;
  }

 private:
  uint64_t Rva(uint32_t offset) const {
    return static_cast<uint64_t>(image_->resource_rva()) + offset;
  }

  Image* image_;
  uint32_t offset_;
  uint16_t named_ = 0;
  uint16_t ids_ = 0;
};

bool FindVersionData(Image* image, uint32_t* rva, uint32_t* size) {
  ResourceDirectory root(image, 0);
  uint32_t types = 0, names = 0, data = 0;
  if (!root.Load() || !root.FindId(kResourceTypeVersion, true, &types)) return false;
  ResourceDirectory type_dir(image, types);
  if (!type_dir.Load() || !type_dir.FindId(kVersionResourceId, true, &names)) return false;
  ResourceDirectory lang_dir(image, names);
  if (!lang_dir.Load()) return false;
  bool found = false;
  for (uint16_t lang : kLanguageOrder) {
    if (lang_dir.FindId(lang, false, &data)) {
      found = true;
      break;
    }
  }
  if (!found && !lang_dir.FindFirst(false, &data)) return false;
  uint8_t entry[16];
  if (!image->Read(static_cast<uint64_t>(image->resource_rva()) + data, entry, sizeof(entry))) {
    return false;
  }
  *rva = Le32(entry);
  *size = Le32(entry + 4);
  return true;
}

// One node of a version block: its bounds and the places of its parts.
struct Node {
  uint32_t start = 0;
  uint32_t end = 0;  // start + wLength, never past the parent's end
  uint16_t value_length = 0;
  uint16_t type = 0;
  uint32_t key_end = 0;  // offset of the key's terminator
  uint32_t value = 0;
  uint32_t children = 0;
};

uint32_t Align4(uint32_t base, uint32_t at) { return base + (((at - base) + 3u) & ~3u); }

bool ParseNode(const uint8_t* block, uint32_t start, uint32_t limit, Node* node) {
  if (start > limit || limit - start < 6) return false;
  uint16_t length = Le16(block + start);
  node->start = start;
  node->end = length > limit - start ? limit : start + length;
  node->value_length = Le16(block + start + 2);
  node->type = Le16(block + start + 4);
  uint32_t p = start + 6;
  // The key may run past the node's own length, as the system reads it, but
  // never past the enclosing block.
  for (;; p += 2) {
    if (p + 2 > limit) return false;  // key without terminator
    if (Le16(block + p) == 0) break;
  }
  node->key_end = p;
  node->value = Align4(start, p + 2);
  uint32_t value_bytes = static_cast<uint32_t>(node->value_length) * (node->type != 0 ? 2u : 1u);
  node->children = Align4(node->value, node->value + value_bytes);
  return true;
}

bool KeyEquals(const uint8_t* block, const Node& node, const std::u16string& key) {
  uint32_t chars = (node.key_end - (node.start + 6)) / 2;
  if (chars != key.size()) return false;
  for (uint32_t i = 0; i < chars; ++i) {
    char16_t c = static_cast<char16_t>(Le16(block + node.start + 6 + 2 * i));
    if (UpperUtf16(c) != UpperUtf16(key[i])) return false;
  }
  return true;
}

bool FindChild(const uint8_t* block, const Node& parent, const std::u16string& key, Node* out) {
  uint32_t at = parent.children;
  while (at < parent.end) {
    Node child;
    if (!ParseNode(block, at, parent.end, &child)) return false;
    if (KeyEquals(block, child, key)) {
      *out = child;
      return true;
    }
    uint16_t length = Le16(block + at);
    if (length == 0) return false;
    at += (static_cast<uint32_t>(length) + 3u) & ~3u;
  }
  return false;
}

}  // namespace

bool ReadPeVersionResource(const std::string& path, std::vector<uint8_t>* resource) {
  std::unique_ptr<File> file = GetFileSystem()->Open(path, OpenMode::kRead);
  if (file == nullptr) return false;
  Image image(file.get());
  uint32_t rva = 0, size = 0;
  if (!image.Load() || !FindVersionData(&image, &rva, &size)) return false;
  if (size == 0 || size > kMaxVersionResourceBytes) return false;
  resource->resize(size);
  return image.Read(rva, resource->data(), size);
}

uint32_t PeVersionInfoSize(const std::string& path) {
  std::vector<uint8_t> resource;
  if (!ReadPeVersionResource(path, &resource)) return 0;
  return static_cast<uint32_t>(resource.size()) * 2 + 4;
}

bool PeVersionInfo(const std::string& path, uint32_t size, uint8_t* data) {
  if (data == nullptr) return false;
  std::vector<uint8_t> resource;
  if (!ReadPeVersionResource(path, &resource)) return false;
  uint32_t n = resource.size() < size ? static_cast<uint32_t>(resource.size()) : size;
  memcpy(data, resource.data(), n);
  if (n >= 2) {
    uint32_t length = Le16(data);
    if (size >= length + 4u) memcpy(data + length, "FE2X", 4);
  }
  return true;
}

bool PeQueryVersionValue(uint8_t* block, uint32_t block_size, const std::string& sub_block,
                         const uint8_t** value, uint32_t* length) {
  if (length != nullptr) *length = 0;
  if (block == nullptr || block_size < 6) return false;
  // A 16-bit block (NE files) has its key right after two words; not read here.
  if (block[4] >= ' ') return false;
  uint32_t total = Le16(block);
  uint32_t limit = total < block_size ? total : block_size;
  Node node;
  if (!ParseNode(block, 0, limit, &node)) return false;
  std::u16string path = AnsiToUtf16(sub_block.empty() ? std::string("\\") : sub_block);
  size_t pos = 0;
  while (pos < path.size()) {
    size_t slash = path.find(u'\\', pos);
    if (slash == std::u16string::npos) slash = path.size();
    if (slash > pos) {
      Node child;
      if (!FindChild(block, node, path.substr(pos, slash - pos), &child)) return false;
      node = child;
    }
    pos = slash + 1;
  }
  if (node.type == 0) {
    if (node.value_length > limit || node.value > limit - node.value_length) return false;
    *value = block + node.value;
    if (length != nullptr) *length = node.value_length;
    return true;
  }
  uint32_t bytes = static_cast<uint32_t>(node.value_length) * 2;
  if (bytes > limit || node.value > limit - bytes) return false;
  std::u16string text;
  for (uint32_t i = 0; i < node.value_length; ++i) {
    text.push_back(static_cast<char16_t>(Le16(block + node.value + 2 * i)));
  }
  std::string ansi = Utf16ToAnsi(text);
  // The converted text goes where the system puts it: past the block and its
  // mark, at the value's own offset.
  uint64_t dest = static_cast<uint64_t>(total) + 4 + node.value;
  uint64_t room = total > node.value ? total - node.value : 0;
  if (dest > block_size) {
    *value = block + node.value;
    return true;
  }
  *value = block + dest;
  if (ansi.size() <= room && ansi.size() <= block_size - dest) {
    memcpy(block + dest, ansi.data(), ansi.size());
    if (length != nullptr) *length = static_cast<uint32_t>(ansi.size());
  }
  return true;
}

}  // namespace upkeep
