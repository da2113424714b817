// Shell shortcuts: the link object the shortcut commands drive. Win32 uses
// the shell's own object (IShellLinkW with IPersistFile); POSIX reads and
// writes the .lnk format itself. Texts are in the path code page, converted
// exactly: a text it cannot spell fails the call. Tests replace the
// process-wide ShellLinks to inject failures.
#ifndef UPKEEP_PLATFORM_SHELL_LINK_H_
#define UPKEEP_PLATFORM_SHELL_LINK_H_

#include <cstdint>
#include <memory>
#include <string>

namespace upkeep {

// One link object, empty until loaded. Getters hand back the whole text,
// however long; the caller decides what fits.
class ShellLink {
 public:
  virtual ~ShellLink() = default;
  // IPersistFile::Load(path, STGM_READ).
  virtual bool Load(const std::string& path) = 0;
  // IPersistFile::Save(path, TRUE).
  virtual bool Save(const std::string& path) = 0;

  // The target as the link's item list names it, which carries every name
  // in UTF-16; else what the link object's GetPath (SLGP_SHORTPATH) gives.
  virtual bool GetPath(std::string* path) = 0;
  virtual bool GetArguments(std::string* arguments) = 0;
  virtual bool GetIconLocation(std::string* path, int32_t* index) = 0;
  virtual bool GetWorkingDirectory(std::string* directory) = 0;

  virtual bool SetPath(const std::string& path) = 0;
  virtual bool SetArguments(const std::string& arguments) = 0;
  virtual bool SetIconLocation(const std::string& path, int32_t index) = 0;
  virtual bool SetWorkingDirectory(const std::string& directory) = 0;
};

class ShellLinks {
 public:
  virtual ~ShellLinks() = default;
  // Brackets one command's use of link objects on the calling thread
  // (CoInitialize / CoUninitialize). End() follows every Begin(), whatever
  // Begin() returned.
  virtual bool Begin() = 0;
  virtual void End() = 0;
  // A new link object with its persistence interface; null when either
  // cannot be had.
  virtual std::unique_ptr<ShellLink> Create() = 0;
};

// The process-wide link service; the platform default unless a test set another.
ShellLinks* GetShellLinks();
// Null restores the default. Not thread-safe: tests set it before they run code.
void SetShellLinks(ShellLinks* links);
ShellLinks* DefaultShellLinks();

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_SHELL_LINK_H_
