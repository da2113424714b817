// Shortening texts to a width the front end measures (pixels of a label,
// columns of a terminal): what matters in a text stays in view. Texts are in
// the ANSI code page; they are cut between characters, never inside one.
#ifndef UPKEEP_APP_TEXT_FIT_H_
#define UPKEEP_APP_TEXT_FIT_H_

#include <functional>
#include <string>

namespace upkeep {

// True when the text fits the width at hand.
using FitsWidth = std::function<bool(const std::string& text)>;

// The path as it is when it fits; otherwise its middle becomes "...": as much
// of its start as fits before the file name, which stays whole. When even
// "...\name" is too wide, the end of the name after "...".
std::string ShortenPathMiddle(const std::string& path, const FitsWidth& fits);

// The main dialog's caption (DialogCaption) with the program name cut short,
// "..." in place of its end, as far as the whole caption needs to fit: the
// versions are what tells one update from another.
std::string FittingDialogCaption(const FitsWidth& fits);

}  // namespace upkeep

#endif  // UPKEEP_APP_TEXT_FIT_H_
