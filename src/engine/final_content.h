// What an update leaves in the game folder: each file its script writes, with
// the checksum it has once the whole walk has run. An installation whose files
// all hold that content already is the update's new version.
#ifndef UPKEEP_ENGINE_FINAL_CONTENT_H_
#define UPKEEP_ENGINE_FINAL_CONTENT_H_

#include <string>
#include <vector>

namespace upkeep {

struct FinalFile {
  std::string name;      // as the script names it, relative to the game folder
  std::string checksum;  // the script's checksum text
};

// The files the package's "patch.scr" leaves written at the end of its
// longest walk: from the version its first Version section starts at, through
// every section that walk takes (All sections included), in script order.
// A later write of a name replaces an earlier one; deleted names, names
// renamed away and files under removed folders drop out. False when the script
// cannot be read or parsed.
bool ReadFinalContent(std::vector<FinalFile>* files);

}  // namespace upkeep

#endif  // UPKEEP_ENGINE_FINAL_CONTENT_H_
