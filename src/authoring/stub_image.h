// What `make` does to a Windows updater stub before a package follows it:
// drops a signature the stub already carries (the finished update is what gets
// signed), rewrites its version resource and icon for the publisher, and keeps
// the PE checksum right.
#ifndef UPKEEP_AUTHORING_STUB_IMAGE_H_
#define UPKEEP_AUTHORING_STUB_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "authoring/version_resource_writer.h"

namespace upkeep {

// True for a PE image (MZ header leading to a "PE\0\0" header).
bool IsPeImage(const std::vector<uint8_t>& image);

// Removes the certificate table of a signed image and clears its security
// directory; `removed` tells whether there was one. False (with `error`) when
// the table does not end the image.
bool StripSignature(std::vector<uint8_t>* image, bool* removed, std::string* error);

struct StubBranding {
  // StringFileInfo values in order (CompanyName, ProductName, ...), UTF-8;
  // the resource holds these and nothing else.
  std::vector<std::pair<std::string, std::string>> strings;
  uint16_t file_version[4] = {0, 0, 0, 0};
  uint16_t product_version[4] = {0, 0, 0, 0};
  std::vector<uint8_t> icon;  // an .ico file; empty keeps the stub's icon
};

// Up to four dot-separated numbers of a version text ("1.0.2 beta" -> 1,0,2,0).
void ParseVersionNumbers(const std::string& text, uint16_t out[4]);

// Replaces the stub's version resource and, when given, its main icon group
// (and the icons it uses). The resource section must be the image's last,
// ending the file, with numbered resources only; the section is rebuilt in
// place and may grow. False (with `error`) when the stub cannot be rewritten.
bool BrandStub(std::vector<uint8_t>* image, const StubBranding& branding, std::string* error);

// Every resource of a PE image with numbered resources only; false (with
// `error`) for named ones or a malformed tree.
bool ReadPeResources(const std::vector<uint8_t>& image, std::vector<PeResourceEntry>* resources,
                     std::string* error);

// Offset of the checksum field of a PE image's optional header, or 0.
size_t PeChecksumOffset(const std::vector<uint8_t>& image);

// The PE checksum of a file fed piece by piece, in file order: 16-bit words
// summed with end-around carry, plus the file's length. The checksum field
// itself must be fed as zeros.
class PeChecksum {
 public:
  void Add(const uint8_t* data, size_t size);
  uint32_t Value() const;

 private:
  uint32_t sum_ = 0;
  uint64_t length_ = 0;
  int odd_byte_ = -1;  // a word's low byte waiting for its high byte
};

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_STUB_IMAGE_H_
