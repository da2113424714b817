// The terms text a package may carry ("umowa.txt"), shown before anything else.
#ifndef UPKEEP_INSTALL_TERMS_TEXT_H_
#define UPKEEP_INSTALL_TERMS_TEXT_H_

#include <string>

namespace upkeep {

// True when "umowa.txt" opens through the package layer (a packaged entry
// first, then a file in the current directory); `destination` then holds its
// bytes as they are, up to the first NUL, or "" when it could not be read.
// False, leaving `destination` alone, when there is no terms text.
bool LoadTermsText(std::string* destination);

}  // namespace upkeep

#endif  // UPKEEP_INSTALL_TERMS_TEXT_H_
