// A string table as its author saved it, made into what the updater reads:
// bytes in the code page of its Locale. Editors on Windows save UTF-8 (often
// with a byte-order mark), which the updater would show as mojibake.
#ifndef UPKEEP_AUTHORING_STRINGS_ENCODING_H_
#define UPKEEP_AUTHORING_STRINGS_ENCODING_H_

#include <cstdint>
#include <string>
#include <vector>

namespace upkeep {

// Drops a UTF-8 byte-order mark (a note says so). False (with `error`) for
// UTF-16, which the updater cannot read at all.
bool DropByteOrderMark(std::vector<uint8_t>* bytes, const std::string& shown_as,
                       std::vector<std::string>* notes, std::string* error);

// UTF-8 text with characters outside ASCII is converted to `code_page` (a
// note says so); text that is not UTF-8 is taken to be in the code page
// already and stays as it is. False when a character has no equivalent in the
// code page: `error` names its place as "FILE:LINE:COLUMN" (COLUMN counted
// in characters) and the character.
bool ToCodePage(std::vector<uint8_t>* bytes, int code_page, const std::string& shown_as,
                std::vector<std::string>* notes, std::string* error);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_STRINGS_ENCODING_H_
