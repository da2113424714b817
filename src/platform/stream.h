// Buffered byte streams with the C run-time's mode texts. Built on File, so the
// bytes a stream writes are the same on every platform: text mode ('t', or
// neither 't' nor 'b') writes LF as CR LF and, when reading, turns CR LF into
// LF and stops at a Ctrl-Z byte, as the Windows run-time does.
#ifndef UPKEEP_PLATFORM_STREAM_H_
#define UPKEEP_PLATFORM_STREAM_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace upkeep {

class Stream {
 public:
  // Modes "rb", "rt", "r", "wb", "wt", "w", optionally with '+'-free suffixes
  // ignored. Null when the mode is unknown or the file cannot be opened.
  static std::unique_ptr<Stream> Open(const std::string& path, const char* mode);
  ~Stream();

  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  bool text() const { return text_; }
  bool writable() const { return writing_; }

  // Bytes delivered (after text translation); 0 at the end or on error.
  size_t Read(void* dst, size_t n);
  // Bytes of `src` accepted; fewer on a write error.
  size_t Write(const void* src, size_t n);
  // 0 on success, -1 on error; positions are raw file offsets.
  int Seek(int64_t offset, SeekOrigin origin);
  int64_t Tell();
  // printf into the stream; the number of characters formatted, or -1.
  int Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  int VPrintf(const char* format, va_list args);
  // Pushes buffered bytes to the file; false on a write error.
  bool Flush();
  // Flush, then down to the disk itself, so the bytes survive a crash.
  bool Sync();
  // Flushes and closes; 0 on success, -1 when anything failed since opening.
  int Close();
  bool error() const { return error_; }
  bool eof() const { return eof_; }

 private:
  Stream(std::unique_ptr<File> file, bool text, bool writing);
  bool FillBuffer();

  std::unique_ptr<File> file_;
  bool text_;
  bool writing_;
  bool error_ = false;
  bool eof_ = false;
  bool ctrl_z_ = false;
  std::vector<uint8_t> buffer_;
  size_t buffer_pos_ = 0;     // next unread byte (reading)
  size_t buffer_len_ = 0;     // valid bytes (reading) or pending bytes (writing)
  int64_t buffer_start_ = 0;  // file offset of buffer_[0]
};

}  // namespace upkeep

#endif  // UPKEEP_PLATFORM_STREAM_H_
