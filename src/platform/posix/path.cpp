#include "platform/posix/path.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/code_page.h"
#include "platform/text.h"

namespace upkeep {
namespace posix {

namespace {
std::string g_prefix;  // written once at start-up, before any other thread
}  // namespace

bool ReadRegularFile(const std::string& path, size_t limit, std::string* text) {
  // Opened without waiting: a named pipe in a file's place would otherwise
  // hold the open until something writes to it.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
            static_cast<uint64_t>(st.st_size) <= limit;
  if (ok) {
    text->resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < text->size()) {
      const ssize_t got = read(fd, &(*text)[done], text->size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<size_t>(got);
    }
    // A file that shrank while read ends where it ended.
    text->resize(done);
  }
  close(fd);
  return ok;
}

void UseWinePrefix(const std::string& dir) { g_prefix = dir; }
std::string ChosenWinePrefix() { return g_prefix; }

std::string WinePrefix() {
  if (!g_prefix.empty()) return g_prefix;
  const char* prefix = getenv("WINEPREFIX");
  if (prefix != nullptr && *prefix != 0) return prefix;
  const char* home = getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.wine";
}

bool HasDriveLetter(const std::string& path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

bool IsNativePath(const std::string& path) {
  return !path.empty() && (path[0] == '/' || path[0] == '\\');
}

bool DiskNameToAnsi(const std::string& disk_name, std::string* ansi) {
  return Utf8ToAnsiExact(disk_name, ansi, PathCodePage());
}

namespace {

bool IsUtf8(const std::string& text) { return Utf16ToUtf8(Utf8ToUtf16(text)) == text; }

// Letter case ignored as Wine ignores it: over the characters for names in
// UTF-8, byte by byte otherwise.
bool SameNameNoCase(const std::string& a, const std::string& b) {
  if (IsUtf8(a) && IsUtf8(b)) {
    std::u16string x = Utf8ToUtf16(a), y = Utf8ToUtf16(b);
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (UpperUtf16(x[i]) != UpperUtf16(y[i])) return false;
    }
    return true;
  }
  return CompareNoCase(a.c_str(), b.c_str()) == 0;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The on-disk spelling of `name` in `dir`, letter case ignored.
bool FindNoCase(const std::string& dir, const std::string& name, std::string* found) {
  DIR* d = opendir(dir.empty() ? "/" : dir.c_str());
  if (d == nullptr) return false;
  bool ok = false;
  while (struct dirent* e = readdir(d)) {
    if (SameNameNoCase(e->d_name, name)) {
      *found = e->d_name;
      ok = true;
      break;
    }
  }
  closedir(d);
  return ok;
}

// The walked path as the system takes it.
std::string Finished(std::string current, const std::string& base) {
  if (current.empty()) current = "/";
  if (base == "." && current.size() > 2) current = current.substr(2);  // drop "./"
  return current;
}

}  // namespace

ResolvedPath Resolve(const std::string& input) {
  // An empty path names nothing, as on Windows; the system calls then fail.
  if (input.empty()) return ResolvedPath();
  std::string path = input;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  std::string base;
  std::string rest;
  if (HasDriveLetter(path)) {
    char drive = static_cast<char>(ToLowerChar(static_cast<unsigned char>(path[0])));
    base = WinePrefix() + "/dosdevices/" + drive + ":";
    rest = path.substr(2);
  } else if (!path.empty() && path[0] == '/') {
    base = "";
    rest = path;
  } else {
    base = ".";
    rest = path;
  }
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t slash = rest.find('/', start);
    if (slash == std::string::npos) slash = rest.size();
    if (slash > start) {
      // "." and ".." go by the text, as Windows resolves them, so "a\..\b"
      // works even where "a" does not exist.
      std::string part = rest.substr(start, slash - start);
      if (part == "..") {
        if (!parts.empty() && parts.back() != "..") {
          parts.pop_back();
        } else if (base == ".") {
          parts.push_back(part);  // above the current directory
        }
      } else if (part != ".") {
        if (!base.empty()) {
          // Wildcards name no file on Windows; here they are also the
          // stand-ins of names a code page could not hold.
          if (part.find_first_of("?*") != std::string::npos) return ResolvedPath();
          std::string disk;
          if (!AnsiToUtf8Exact(part, &disk, PathCodePage())) return ResolvedPath();
          part.swap(disk);
        }
        parts.push_back(part);
      }
    }
    start = slash + 1;
  }
  // Most paths are spelled as on disk: one stat of the whole path settles
  // them, where the walk below costs a stat per component. It finds the same
  // name, since an exact component is always taken first.
  ResolvedPath out;
  std::string exact = base;
  for (const std::string& part : parts) exact += "/" + part;
  out.native = Finished(exact, base);
  if (!parts.empty()) {
    if (stat(out.native.c_str(), &out.st) == 0) {
      out.exists = out.statted = true;
      return out;
    }
    if (Exists(out.native)) {  // a link to nothing
      out.exists = true;
      return out;
    }
  }
  // Otherwise the last component is often what is missing (a file about to
  // be made): when its folder is spelled exactly, only the name is looked up.
  std::string current = base;
  size_t walked = 0;
  if (parts.size() >= 2 && parts.back() != "..") {
    std::string parent = exact.substr(0, exact.size() - parts.back().size() - 1);
    if (Exists(Finished(parent, base))) {
      current = parent;
      walked = parts.size() - 1;
    }
  }
  bool found = true;
  for (size_t i = walked; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    std::string next = current + "/" + part;
    // The exact last name was just found missing above.
    const bool missing = i == parts.size() - 1 && walked > 0;
    if (found && part != "." && part != ".." && (missing || !Exists(next))) {
      std::string spelled;
      if (FindNoCase(current, part, &spelled)) {
        next = current + "/" + spelled;
      } else {
        found = false;
      }
    }
    current = next;
  }
  current = Finished(current, base);
  if (!parts.empty() && found) found = Exists(current);
  if (parts.empty()) found = Exists(current);
  out.native = current;
  out.exists = found;
  return out;
}

}  // namespace posix
}  // namespace upkeep
