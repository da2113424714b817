// Message formatting from a template string, as the system's FormatMessageA
// does it with FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY and
// no line-width limit: "%1" to "%99" (also as "%1!s!", with "-", a width and a
// precision of up to three digits) insert text arguments; "%0" ends the
// output; "%n" is CR LF, "%r" CR, "%t" TAB; "%" before any other byte stands
// for that byte ("%%", "% ", "%.", "%!"); a line break in the template
// (CR, LF or CR LF) becomes CR LF. Arguments are inserted as they are.
#ifndef UPKEEP_PLATFORM_FORMAT_MESSAGE_H_
#define UPKEEP_PLATFORM_FORMAT_MESSAGE_H_

#include <string>
#include <vector>

namespace upkeep {

constexpr int kMaxMessageInserts = 99;

// The template made safe for text arguments: an insert whose "!...!" format is
// not a string format of the form above (a number, a character, a wide text,
// "*" widths, flags other than "-", longer widths) becomes "!s!", and a
// trailing lone "%" becomes "%%". Other texts are unchanged.
std::string SafeMessageTemplate(const char* templ);

// Formats a safe template with exactly kMaxMessageInserts arguments (none
// null). Windows calls FormatMessageW (texts converted from the ANSI code page
// and back); POSIX runs EmulateFormatMessage. False when the system refuses
// the template or the result.
bool SystemFormatMessage(const char* templ, const char* const* args, std::string* out);

// The portable formatter: FormatMessageA's result for every safe template,
// and false, as FormatMessageA fails, for a template ending in a lone "%".
bool EmulateFormatMessage(const char* templ, const char* const* args, std::string* out);

// Pads missing arguments with empty texts (more than kMaxMessageInserts are
// ignored), makes the template safe and formats it.
std::string FormatMessageText(const char* templ, const std::vector<std::string>& args);

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_FORMAT_MESSAGE_H_
