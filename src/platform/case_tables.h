// Case mappings of the single-byte ANSI code pages, so that case conversion
// under a selected locale is the same on every platform.
#ifndef UPKEEP_PLATFORM_CASE_TABLES_H_
#define UPKEEP_PLATFORM_CASE_TABLES_H_

#include <cstdint>

namespace upkeep {

struct CaseTable {
  int codePage;
  uint8_t upper[128];  // bytes 0x80..0xFF; ASCII letters are mapped in code
  uint8_t lower[128];
};

// The table of an ANSI code page (1250 to 1258), or null.
const CaseTable* FindCaseTable(int codePage);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_CASE_TABLES_H_
