// Facts about the installed game: where it is, which program file is its
// executable, whether it runs, and which version and language it is. Product
// settings come from the string table ("&SRC_EXE&" here; the caller expands
// the registry key and value names). Nothing is ever written.
#ifndef UPKEEP_INSTALL_INSTALLATION_H_
#define UPKEEP_INSTALL_INSTALLATION_H_

#include <cstdint>
#include <string>

namespace upkeep {

// Paths and names live in 260-byte buffers.
constexpr size_t kMaxInstallPath = 259;

// Reads a value under HKEY_LOCAL_MACHINE into a zero-filled buffer of
// `capacity` bytes. 0 on success, with `out` set to the buffer's text up to its
// first NUL; otherwise the registry's error code (2 missing, 234 too long for
// the buffer) and `out` left alone.
int32_t ReadRegistryValue(const std::string& key_path, const std::string& value_name,
                          std::string* out, uint32_t capacity = kMaxInstallPath + 1);

// An existing directory.
bool DirectoryExists(const std::string& path);

// Names in the expansion of "&SRC_EXE&"; -1 when it names none.
int CountGameExecutables();
// The name at `index`, trimmed. False (and an empty name) past the last name,
// for a name of white space only, and for one longer than 259 bytes.
bool GetGameExecutable(int index, std::string* name);

// The same over a list given as text.
int CountExecutableNames(const std::string& list);
bool GetExecutableName(const std::string& list, int index, std::string* name);

// directory + "\" + name names a file or a directory.
bool InstalledFileExists(const std::string& directory, const std::string& name);

// The executable cannot be opened for writing with no sharing: it runs, or it
// is read-only, missing or out of reach. Nothing is written.
bool IsGameRunning(const std::string& directory, const std::string& name);

// The parts of the executable's ProductVersion: its first 7 bytes are the
// version, the rest the language. Empty when there is no such part.
std::string GetInstalledVersion(const std::string& directory, const std::string& name);
std::string GetInstalledLanguage(const std::string& directory, const std::string& name);

// True when `versions` is empty or one of its ";"-separated items, trimmed,
// equals the installed version, letter case ignored.
bool CheckGameVersion(const std::string& directory, const std::string& name,
                      const std::string& versions);
// True when `tag` is empty or equals the installed language, letter case
// ignored; the tag is taken as it is.
bool CheckGameLanguage(const std::string& directory, const std::string& name,
                       const std::string& tag);

// The same two tests of a version and language already read.
bool VersionAccepted(const std::string& installed, const std::string& versions);
bool LanguageAccepted(const std::string& installed, const std::string& tag);

// Text rules of these checks, exposed for tests: trimming of the locale's
// white space and comparison folding ASCII letters only, both stepping over
// double-byte characters of the ANSI code page whole.
std::string TrimText(const std::string& text);
bool TextEqualsNoCase(const std::string& a, const std::string& b);

}  // namespace upkeep

#endif  // UPKEEP_INSTALL_INSTALLATION_H_
