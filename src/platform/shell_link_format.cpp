#include "platform/shell_link_format.h"

#include <cstring>

#include "platform/code_page.h"

namespace upkeep {
namespace lnk {

namespace {

constexpr uint32_t kHeaderSize = 0x4C;
const uint8_t kShellLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const uint8_t kMyComputerClsid[16] = {0xE0, 0x4F, 0xD0, 0x20, 0xEA, 0x3A, 0x69, 0x10,
                                      0xA2, 0xD8, 0x08, 0x00, 0x2B, 0x30, 0x30, 0x9D};

// ExtraData signatures.
enum : uint32_t {
  kEnvironmentBlock = 0xA0000001,
  kTrackerBlock = 0xA0000003,
  kSpecialFolderBlock = 0xA0000005,
  kDarwinBlock = 0xA0000006,
  kPropertyStoreBlock = 0xA0000009,
  kKnownFolderBlock = 0xA000000B,
  kVistaIdListBlock = 0xA000000C,
};

constexpr uint32_t kFileEntryExtension = 0xBEEF0004;

// Bounds-checked little-endian reads over one byte range.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t size() const { return size_; }
  bool Has(size_t offset, size_t n) const { return offset <= size_ && n <= size_ - offset; }
  bool U16(size_t offset, uint16_t* v) const {
    if (!Has(offset, 2)) return false;
    *v = static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
    return true;
  }
  bool U32(size_t offset, uint32_t* v) const {
    if (!Has(offset, 4)) return false;
    *v = static_cast<uint32_t>(data_[offset]) | (static_cast<uint32_t>(data_[offset + 1]) << 8) |
         (static_cast<uint32_t>(data_[offset + 2]) << 16) |
         (static_cast<uint32_t>(data_[offset + 3]) << 24);
    return true;
  }
  bool U64(size_t offset, uint64_t* v) const {
    uint32_t lo = 0, hi = 0;
    if (!U32(offset, &lo) || !U32(offset + 4, &hi)) return false;
    *v = (static_cast<uint64_t>(hi) << 32) | lo;
    return true;
  }
  // A NUL-terminated byte string starting at `offset`, ending inside the range.
  bool AnsiZ(size_t offset, std::string* out) const {
    if (offset >= size_) return false;
    const void* nul = std::memchr(data_ + offset, 0, size_ - offset);
    if (nul == nullptr) return false;
    out->assign(reinterpret_cast<const char*>(data_ + offset),
                static_cast<const uint8_t*>(nul) - (data_ + offset));
    return true;
  }
  bool Utf16Z(size_t offset, std::u16string* out) const {
    out->clear();
    for (size_t at = offset;; at += 2) {
      uint16_t c = 0;
      if (!U16(at, &c)) return false;
      if (c == 0) return true;
      out->push_back(static_cast<char16_t>(c));
    }
  }
  const uint8_t* at(size_t offset) const { return data_ + offset; }

 private:
  const uint8_t* data_;
  size_t size_;
};

void PutU16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(std::vector<uint8_t>* out, uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}
void PutU64(std::vector<uint8_t>* out, uint64_t v) {
  PutU32(out, static_cast<uint32_t>(v));
  PutU32(out, static_cast<uint32_t>(v >> 32));
}
void SetU32(std::vector<uint8_t>* out, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*out)[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

bool IsAscii(const std::u16string& text) {
  for (char16_t c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// One file-system item's name: the long name of its extension block when
// there is one, else its primary name. `wide` is set when a name outside
// ASCII came in UTF-16.
bool FileItemName(const Reader& item, int codePage, std::u16string* name, bool* wide) {
  uint8_t type = *item.at(2);
  size_t pos = 14;
  if (type & 0x04) {
    if (!item.Utf16Z(pos, name)) return false;
    pos += (name->size() + 1) * 2;
    if (!IsAscii(*name)) *wide = true;
  } else {
    std::string ansi;
    if (!item.AnsiZ(pos, &ansi)) return false;
    *name = AnsiToUtf16(ansi, codePage);
    pos += ansi.size() + 1;
  }
  // The item's last word gives where the extension starts; writers that
  // leave it out put the extension on an even offset after the name, possibly
  // after padding: look at those places too.
  uint16_t last = 0;
  size_t candidates[3] = {pos, pos, pos + 1};
  if (item.U16(item.size() - 2, &last) && last >= pos && last + 2u <= item.size()) {
    candidates[0] = last;
  }
  for (size_t start : candidates) {
    uint16_t extSize = 0, version = 0;
    uint32_t signature = 0;
    if (!item.U16(start, &extSize) || !item.U16(start + 2, &version) ||
        !item.U32(start + 4, &signature)) {
      break;
    }
    // Wine leaves version and signature zero; its block is the one the last
    // word points at and ends the item, laid out as version 3.
    bool wineBlock = signature == 0 && version == 0 && start == last &&
                     start + size_t{extSize} == item.size() && extSize >= 0x14 + 4;
    if ((signature != kFileEntryExtension || version < 3) && !wineBlock) continue;
    if (!item.Has(start, extSize)) continue;
    size_t nameAt = version >= 9 ? 0x2E : version >= 8 ? 0x2A : version >= 7 ? 0x26 : 0x14;
    Reader ext(item.at(start), extSize);
    std::u16string longName;
    if (ext.Utf16Z(nameAt, &longName) && !longName.empty()) {
      *name = longName;
      if (!IsAscii(longName)) *wide = true;
    }
    break;
  }
  return true;
}

// The file-system path an item list names: My Computer, a drive, then folders
// and files. Empty for any other shape. `wide` tells whether a name outside
// ASCII was stored in UTF-16.
std::u16string PathFromIdList(const Reader& list, int codePage, bool* wide) {
  *wide = false;
  std::u16string path;
  size_t pos = 0;
  for (int index = 0;; ++index) {
    uint16_t itemSize = 0;
    if (!list.U16(pos, &itemSize) || itemSize == 0) break;
    if (itemSize < 3 || !list.Has(pos, itemSize)) return std::u16string();
    Reader item(list.at(pos), itemSize);
    uint8_t type = *item.at(2);
    if (index == 0) {
      if (type != 0x1F || !item.Has(4, 16) || std::memcmp(item.at(4), kMyComputerClsid, 16) != 0) {
        return std::u16string();
      }
    } else if (index == 1) {
      std::string drive;
      if ((type & 0x70) != 0x20 || !item.AnsiZ(3, &drive) || drive.size() < 2 || drive[1] != ':') {
        return std::u16string();
      }
      path = AnsiToUtf16(drive, codePage);
    } else {
      std::u16string name;
      if ((type & 0x70) != 0x30 || !FileItemName(item, codePage, &name, wide)) {
        return std::u16string();
      }
      if (!path.empty() && path.back() != u'\\') path += u'\\';
      path += name;
    }
    pos += itemSize;
  }
  return path;
}

// The target LinkInfo records: local base path or network share, then suffix.
// `wide` tells whether it was stored in UTF-16.
bool PathFromLinkInfo(const Reader& info, int codePage, std::u16string* path, bool* wide) {
  uint32_t headerSize = 0, flags = 0, localOffset = 0, networkOffset = 0, suffixOffset = 0;
  if (!info.U32(4, &headerSize) || !info.U32(8, &flags) || !info.U32(16, &localOffset) ||
      !info.U32(20, &networkOffset) || !info.U32(24, &suffixOffset) || headerSize < 0x1C ||
      headerSize > info.size()) {
    return false;
  }
  bool hasWide = headerSize >= 0x24;
  uint32_t localWide = 0, suffixWide = 0;
  if (hasWide && (!info.U32(28, &localWide) || !info.U32(32, &suffixWide))) return false;
  *wide = false;

  std::u16string suffix;
  if (hasWide && suffixWide != 0) {
    if (!info.Utf16Z(suffixWide, &suffix)) return false;
  } else if (suffixOffset != 0) {
    std::string ansi;
    if (!info.AnsiZ(suffixOffset, &ansi)) return false;
    suffix = AnsiToUtf16(ansi, codePage);
  }

  std::u16string base;
  if (flags & 0x1) {
    if (hasWide && localWide != 0) {
      if (!info.Utf16Z(localWide, &base)) return false;
      *wide = true;
    } else {
      std::string ansi;
      if (!info.AnsiZ(localOffset, &ansi)) return false;
      base = AnsiToUtf16(ansi, codePage);
    }
    *path = base + suffix;
    return true;
  }
  if (flags & 0x2) {
    uint32_t linkSize = 0, netNameOffset = 0;
    if (!info.U32(networkOffset, &linkSize) || !info.Has(networkOffset, linkSize) ||
        linkSize < 0x14) {
      return false;
    }
    Reader link(info.at(networkOffset), linkSize);
    if (!link.U32(8, &netNameOffset)) return false;
    std::u16string net;
    uint32_t netWide = 0;
    if (netNameOffset > 0x14 && link.U32(20, &netWide) && netWide != 0) {
      if (!link.Utf16Z(netWide, &net)) return false;
      *wide = true;
    } else {
      std::string ansi;
      if (!link.AnsiZ(netNameOffset, &ansi)) return false;
      net = AnsiToUtf16(ansi, codePage);
    }
    if (!suffix.empty() && !net.empty() && net.back() != u'\\') net += u'\\';
    *path = net + suffix;
    return true;
  }
  return false;
}

bool ReadString(const Reader& r, size_t* pos, bool unicode, int codePage, LinkString* out) {
  uint16_t count = 0;
  if (!r.U16(*pos, &count)) return false;
  *pos += 2;
  size_t bytes = unicode ? 2u * count : count;
  if (!r.Has(*pos, bytes)) return false;
  out->present = true;
  out->text.clear();
  if (unicode) {
    for (size_t i = 0; i < count; ++i) {
      uint16_t c = 0;
      r.U16(*pos + 2 * i, &c);
      out->text.push_back(static_cast<char16_t>(c));
    }
  } else {
    out->text =
        AnsiToUtf16(std::string(reinterpret_cast<const char*>(r.at(*pos)), bytes), codePage);
  }
  *pos += bytes;
  // Some writers count the terminator too; the text ends at the first NUL.
  size_t nul = out->text.find(u'\0');
  if (nul != std::u16string::npos) out->text.resize(nul);
  return true;
}

void WriteString(std::vector<uint8_t>* out, const LinkString& s) {
  // Texts this side sets are short; a loaded one already fitted the count.
  size_t count = s.text.size() > 0xFFFF ? 0xFFFF : s.text.size();
  PutU16(out, static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i) PutU16(out, s.text[i]);
}

uint32_t BlockSignature(const std::vector<uint8_t>& block) {
  uint32_t sig = 0;
  Reader(block.data(), block.size()).U32(4, &sig);
  return sig;
}

void AppendItem(std::vector<uint8_t>* list, const std::vector<uint8_t>& body) {
  PutU16(list, static_cast<uint32_t>(body.size() + 2));
  list->insert(list->end(), body.begin(), body.end());
}

// The extension block Wine and Windows add after a name the code page alone
// would not carry to a reader in another code page: the name in UTF-16, then
// the word that tells where the block starts.
void AppendLongName(std::vector<uint8_t>* item, const std::u16string& name) {
  size_t start = item->size() + 2;  // the item's size field comes before it
  std::vector<uint8_t> ext;
  PutU16(&ext, 0);  // size, set below
  PutU16(&ext, 3);
  PutU32(&ext, kFileEntryExtension);
  PutU32(&ext, 0);  // creation date and time
  PutU32(&ext, 0);  // last access date and time
  PutU32(&ext, 0);
  for (char16_t c : name) PutU16(&ext, c);
  PutU16(&ext, 0);
  PutU16(&ext, static_cast<uint32_t>(start));
  ext[0] = static_cast<uint8_t>(ext.size());
  ext[1] = static_cast<uint8_t>(ext.size() >> 8);
  item->insert(item->end(), ext.begin(), ext.end());
}

// The ANSI copy of a name the file keeps beside its UTF-16 form, in the
// machine's code page. A character that code page cannot hold is written as
// '?', never as a look-alike that could name another file.
std::string AnsiCopy(const std::u16string& text, int codePage) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] < 0x80) {
      out.push_back(static_cast<char>(text[i]));
      continue;
    }
    size_t n = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() ? 2 : 1;
    std::string bytes;
    out += Utf16ToAnsiExact(text.substr(i, n), &bytes, codePage) ? bytes : std::string("?");
    i += n - 1;
  }
  return out;
}

}  // namespace

bool ParseLink(const uint8_t* data, size_t size, int codePage, LinkData* out) {
  *out = LinkData();
  if (data == nullptr || size > kMaxLinkFileSize) return false;
  Reader r(data, size);
  uint32_t headerSize = 0, iconIndex = 0;
  if (!r.U32(0, &headerSize) || headerSize != kHeaderSize || !r.Has(0, kHeaderSize) ||
      std::memcmp(r.at(4), kShellLinkClsid, 16) != 0) {
    return false;
  }
  r.U32(0x14, &out->flags);
  r.U32(0x18, &out->fileAttributes);
  r.U64(0x1C, &out->creationTime);
  r.U64(0x24, &out->accessTime);
  r.U64(0x2C, &out->writeTime);
  r.U32(0x34, &out->fileSize);
  r.U32(0x38, &iconIndex);
  out->iconIndex = static_cast<int32_t>(iconIndex);
  r.U32(0x3C, &out->showCommand);
  r.U16(0x40, &out->hotKey);
  size_t pos = kHeaderSize;

  std::u16string listPath;
  bool listWide = false;
  if (out->flags & kHasIdList) {
    uint16_t listSize = 0;
    if (!r.U16(pos, &listSize) || !r.Has(pos + 2, listSize)) return false;
    out->hasIdList = true;
    out->idList.assign(r.at(pos + 2), r.at(pos + 2) + listSize);
    listPath = PathFromIdList(Reader(r.at(pos + 2), listSize), codePage, &listWide);
    pos += 2u + listSize;
  }

  std::u16string infoPath;
  bool haveInfoPath = false;
  bool infoWide = false;
  if (out->flags & kHasLinkInfo) {
    uint32_t infoSize = 0;
    if (!r.U32(pos, &infoSize) || infoSize < 0x1C || !r.Has(pos, infoSize)) return false;
    out->hasLinkInfo = true;
    out->linkInfo.assign(r.at(pos), r.at(pos) + infoSize);
    haveInfoPath = PathFromLinkInfo(Reader(r.at(pos), infoSize), codePage, &infoPath, &infoWide);
    pos += infoSize;
  }
  // An ANSI LinkInfo went through the writer's code page, which may not hold
  // every name (Wine then stores look-alikes); an item list that names them
  // in UTF-16 is the truer copy.
  bool listIsTruer = !infoWide && listWide && !listPath.empty();
  if (haveInfoPath && !(out->flags & kForceNoLinkInfo) && !listIsTruer) {
    out->target = infoPath;
  } else {
    out->target = listPath;
  }

  bool unicode = (out->flags & kIsUnicode) != 0;
  struct {
    uint32_t flag;
    LinkString* field;
  } strings[] = {{kHasName, &out->name},
                 {kHasRelativePath, &out->relativePath},
                 {kHasWorkingDir, &out->workingDir},
                 {kHasArguments, &out->arguments},
                 {kHasIconLocation, &out->iconLocation}};
  for (auto& s : strings) {
    if ((out->flags & s.flag) && !ReadString(r, &pos, unicode, codePage, s.field)) return false;
  }

  for (;;) {
    uint32_t blockSize = 0, signature = 0;
    if (!r.U32(pos, &blockSize) || blockSize < 4) break;
    if (blockSize < 8 || !r.Has(pos, blockSize) || !r.U32(pos + 4, &signature)) break;
    out->extraBlocks.emplace_back(r.at(pos), r.at(pos) + blockSize);
    pos += blockSize;
  }
  return true;
}

std::vector<uint8_t> SerializeLink(const LinkData& link) {
  uint32_t presence = kHasIdList | kHasLinkInfo | kHasName | kHasRelativePath | kHasWorkingDir |
                      kHasArguments | kHasIconLocation;
  uint32_t flags = (link.flags & ~presence) | kIsUnicode;
  if (link.hasIdList) flags |= kHasIdList;
  if (link.hasLinkInfo) flags |= kHasLinkInfo;
  if (link.name.present) flags |= kHasName;
  if (link.relativePath.present) flags |= kHasRelativePath;
  if (link.workingDir.present) flags |= kHasWorkingDir;
  if (link.arguments.present) flags |= kHasArguments;
  if (link.iconLocation.present) flags |= kHasIconLocation;

  std::vector<uint8_t> out;
  PutU32(&out, kHeaderSize);
  out.insert(out.end(), kShellLinkClsid, kShellLinkClsid + 16);
  PutU32(&out, flags);
  PutU32(&out, link.fileAttributes);
  PutU64(&out, link.creationTime);
  PutU64(&out, link.accessTime);
  PutU64(&out, link.writeTime);
  PutU32(&out, link.fileSize);
  PutU32(&out, static_cast<uint32_t>(link.iconIndex));
  PutU32(&out, link.showCommand);
  PutU16(&out, link.hotKey);
  PutU16(&out, 0);
  PutU32(&out, 0);
  PutU32(&out, 0);

  if (link.hasIdList) {
    PutU16(&out, static_cast<uint32_t>(link.idList.size()));
    out.insert(out.end(), link.idList.begin(), link.idList.end());
  }
  if (link.hasLinkInfo) out.insert(out.end(), link.linkInfo.begin(), link.linkInfo.end());
  for (const LinkString* s :
       {&link.name, &link.relativePath, &link.workingDir, &link.arguments, &link.iconLocation}) {
    if (s->present) WriteString(&out, *s);
  }
  for (const auto& block : link.extraBlocks) out.insert(out.end(), block.begin(), block.end());
  PutU32(&out, 0);
  return out;
}

bool SetLinkTarget(LinkData* link, const std::string& path, const TargetFacts& facts, int codePage,
                   int fileCodePage) {
  std::string p = path;
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  bool drivePath = p.size() >= 3 && p[1] == ':' && p[2] == '\\' &&
                   ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z'));
  if (!p.empty() && !drivePath) return false;
  std::u16string wide;
  if (!AnsiToUtf16Exact(p, &wide, codePage)) return false;

  std::vector<uint8_t> list;
  std::vector<uint8_t> info;
  if (!p.empty()) {
    std::vector<uint8_t> root = {0x1F, 0x50};
    root.insert(root.end(), kMyComputerClsid, kMyComputerClsid + 16);
    AppendItem(&list, root);
    std::vector<uint8_t> drive(23, 0);
    drive[0] = 0x2F;
    drive[1] = static_cast<uint8_t>(p[0] >= 'a' ? p[0] - 32 : p[0]);
    drive[2] = ':';
    drive[3] = '\\';
    AppendItem(&list, drive);

    std::vector<std::u16string> parts;
    for (size_t start = 3; start < wide.size();) {
      size_t end = wide.find(u'\\', start);
      if (end == std::u16string::npos) end = wide.size();
      if (end > start) parts.push_back(wide.substr(start, end - start));
      start = end + 1;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
      bool last = i + 1 == parts.size();
      bool dir = !last || (facts.exists && facts.isDirectory);
      std::vector<uint8_t> item;
      item.push_back(dir ? 0x31 : 0x32);
      item.push_back(0);
      PutU32(&item, last && facts.exists ? facts.size : 0);
      PutU32(&item, 0);  // DOS date and time
      uint32_t attributes = last ? (facts.exists ? facts.attributes : 0) : 0x10;
      PutU16(&item, attributes & 0xFFFF);
      std::string ansi = AnsiCopy(parts[i], fileCodePage);
      item.insert(item.end(), ansi.begin(), ansi.end());
      item.push_back(0);
      bool ascii = IsAscii(parts[i]);
      if (!ascii) item.push_back(0);  // an empty short name, as Wine writes it
      if (item.size() % 2 != 0) item.push_back(0);
      if (!ascii) AppendLongName(&item, parts[i]);
      AppendItem(&list, item);
    }
    PutU16(&list, 0);
    if (list.size() > 0xFFFF) return false;

    // LinkInfo: header, a fixed-disk volume with no label, the base path in
    // the machine's code page, an empty suffix; a path outside ASCII also in
    // UTF-16, as Windows writes it, for readers in any code page.
    const std::string ansi = AnsiCopy(wide, fileCodePage);
    const bool unicode = !IsAscii(wide);
    const uint32_t headerSize = unicode ? 0x24 : 0x1C;
    const uint32_t volumeSize = 0x11;
    uint32_t localOffset = headerSize + volumeSize;
    uint32_t suffixOffset = localOffset + static_cast<uint32_t>(ansi.size()) + 1;
    uint32_t localWide = (suffixOffset + 1 + 1) & ~1u;
    uint32_t suffixWide = localWide + static_cast<uint32_t>(wide.size() + 1) * 2;
    PutU32(&info, 0);  // size, set below
    PutU32(&info, headerSize);
    PutU32(&info, 0x1);
    PutU32(&info, headerSize);
    PutU32(&info, localOffset);
    PutU32(&info, 0);
    PutU32(&info, suffixOffset);
    if (unicode) {
      PutU32(&info, localWide);
      PutU32(&info, suffixWide);
    }
    PutU32(&info, volumeSize);
    PutU32(&info, 3);  // DRIVE_FIXED
    PutU32(&info, 0);
    PutU32(&info, 0x10);
    info.push_back(0);
    info.insert(info.end(), ansi.begin(), ansi.end());
    info.push_back(0);
    info.push_back(0);
    if (unicode) {
      while (info.size() < localWide) info.push_back(0);
      for (char16_t c : wide) PutU16(&info, c);
      PutU16(&info, 0);
      PutU16(&info, 0);
    }
    SetU32(&info, 0, static_cast<uint32_t>(info.size()));
  }

  link->target = wide;
  link->hasIdList = !p.empty();
  link->idList = list;
  link->hasLinkInfo = !p.empty();
  link->linkInfo = info;
  link->relativePath = LinkString();
  link->fileAttributes = facts.exists ? facts.attributes : 0;
  link->fileSize = facts.exists ? facts.size : 0;
  link->creationTime = link->accessTime = link->writeTime = 0;

  bool dropStore = (link->flags & kEnableTargetMetadata) != 0;
  link->flags &= ~(kForceNoLinkInfo | kHasExpString | kHasDarwinId | kEnableTargetMetadata);
  std::vector<std::vector<uint8_t>> kept;
  for (auto& block : link->extraBlocks) {
    uint32_t sig = BlockSignature(block);
    if (sig == kEnvironmentBlock || sig == kTrackerBlock || sig == kSpecialFolderBlock ||
        sig == kDarwinBlock || sig == kKnownFolderBlock || sig == kVistaIdListBlock ||
        (dropStore && sig == kPropertyStoreBlock)) {
      continue;
    }
    kept.push_back(std::move(block));
  }
  link->extraBlocks = std::move(kept);
  return true;
}

}  // namespace lnk
}  // namespace upkeep
