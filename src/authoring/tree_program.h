// What the updater will see of a game tree's program: the first of the
// SRC_EXE names the tree has, and the version and language it reads from that
// program's ProductVersion, through the updater's own reader.
#ifndef UPKEEP_AUTHORING_TREE_PROGRAM_H_
#define UPKEEP_AUTHORING_TREE_PROGRAM_H_

#include <string>

namespace upkeep {

struct TreeProgram {
  std::string dir;              // absolute, as the updater would be given it
  std::string name;             // empty when the tree has none of the names
  std::string product_name;     // of the version resource
  std::string product_version;  // the whole text
  std::string version;          // what the updater compares with GAME_VERSION
  std::string language;         // and with LANG_VERSION

  // One line: the program, its ProductVersion and what the updater makes of it.
  std::string Describe() const;
};

// `candidates` is the SRC_EXE text, ';'-separated.
TreeProgram ReadTreeProgram(const std::string& dir, const std::string& candidates);

// The updater's language and version checks against `program`; each empty
// text passes. False with the reason when a check would refuse the tree.
bool TreePassesChecks(const TreeProgram& program, const std::string& game_version,
                      const std::string& lang_version, std::string* why);

// Orders version texts by their numbers ("1.0.10.0en" after "1.0.9.1en"):
// <0, 0, >0; 0 too when either has no number to compare.
int CompareVersionTexts(const std::string& a, const std::string& b);

}  // namespace upkeep

#endif  // UPKEEP_AUTHORING_TREE_PROGRAM_H_
