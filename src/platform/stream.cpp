#include "platform/stream.h"

#include <cstdio>
#include <cstring>

namespace upkeep {

namespace {
constexpr size_t kBufferSize = 64 * 1024;
}

std::unique_ptr<Stream> Stream::Open(const std::string& path, const char* mode) {
  if (mode == nullptr) return nullptr;
  bool reading = false;
  bool writing = false;
  bool binary = false;
  for (const char* p = mode; *p != 0; ++p) {
    switch (*p) {
      case 'r':
        reading = true;
        break;
      case 'w':
        writing = true;
        break;
      case 'b':
        binary = true;
        break;
      case 't':
        binary = false;
        break;
      default:
        return nullptr;  // append and update modes are not used
    }
  }
  if (reading == writing) return nullptr;
  std::unique_ptr<File> file =
      GetFileSystem()->Open(path, writing ? OpenMode::kWrite : OpenMode::kRead);
  if (file == nullptr) return nullptr;
  // The Windows run-time's default mode is text, so "r" and "w" are text streams.
  return std::unique_ptr<Stream>(new Stream(std::move(file), !binary, writing));
}

Stream::Stream(std::unique_ptr<File> file, bool text, bool writing)
    : file_(std::move(file)), text_(text), writing_(writing), buffer_(kBufferSize) {}

Stream::~Stream() { Close(); }

bool Stream::FillBuffer() {
  buffer_start_ += static_cast<int64_t>(buffer_len_);
  buffer_pos_ = 0;
  buffer_len_ = 0;
  int64_t got = file_->Read(buffer_.data(), buffer_.size());
  if (got < 0) {
    error_ = true;
    return false;
  }
  if (got == 0) {
    eof_ = true;
    return false;
  }
  buffer_len_ = static_cast<size_t>(got);
  return true;
}

size_t Stream::Read(void* dst, size_t n) {
  if (file_ == nullptr || writing_ || n == 0) return 0;
  uint8_t* out = static_cast<uint8_t*>(dst);
  size_t done = 0;
  if (!text_) {
    while (done < n) {
      if (buffer_pos_ == buffer_len_) {
        // Large reads skip the buffer.
        if (n - done >= buffer_.size()) {
          buffer_start_ += static_cast<int64_t>(buffer_len_);
          buffer_pos_ = buffer_len_ = 0;
          int64_t got = file_->Read(out + done, n - done);
          if (got < 0) error_ = true;
          if (got <= 0) {
            if (got == 0) eof_ = true;
            break;
          }
          buffer_start_ += got;
          done += static_cast<size_t>(got);
          continue;
        }
        if (!FillBuffer()) break;
      }
      size_t take = buffer_len_ - buffer_pos_;
      if (take > n - done) take = n - done;
      memcpy(out + done, buffer_.data() + buffer_pos_, take);
      buffer_pos_ += take;
      done += take;
    }
    return done;
  }
  // Text mode: CR LF becomes LF, Ctrl-Z ends the stream.
  while (done < n && !ctrl_z_) {
    if (buffer_pos_ == buffer_len_ && !FillBuffer()) break;
    uint8_t c = buffer_[buffer_pos_];
    if (c == 0x1A) {
      ctrl_z_ = true;
      eof_ = true;
      break;
    }
    ++buffer_pos_;
    if (c == '\r') {
      if (buffer_pos_ == buffer_len_ && !FillBuffer()) {
        out[done++] = c;
        break;
      }
      if (buffer_[buffer_pos_] == '\n') {
        ++buffer_pos_;
        c = '\n';
      }
    }
    out[done++] = c;
  }
  return done;
}

size_t Stream::Write(const void* src, size_t n) {
  if (file_ == nullptr || !writing_ || error_) return 0;
  const uint8_t* in = static_cast<const uint8_t*>(src);
  for (size_t i = 0; i < n; ++i) {
    if (buffer_len_ + 2 > buffer_.size() && !Flush()) return i;
    if (text_ && in[i] == '\n') buffer_[buffer_len_++] = '\r';
    buffer_[buffer_len_++] = in[i];
  }
  return n;
}

bool Stream::Sync() { return Flush() && file_->Flush(); }

bool Stream::Flush() {
  if (file_ == nullptr || !writing_) return true;
  size_t off = 0;
  while (off < buffer_len_) {
    int64_t put = file_->Write(buffer_.data() + off, buffer_len_ - off);
    if (put <= 0) {
      error_ = true;
      buffer_len_ = 0;
      return false;
    }
    off += static_cast<size_t>(put);
  }
  buffer_start_ += static_cast<int64_t>(buffer_len_);
  buffer_len_ = 0;
  return true;
}

int Stream::Seek(int64_t offset, SeekOrigin origin) {
  if (file_ == nullptr) return -1;
  int64_t target;
  if (writing_) {
    if (!Flush()) return -1;
    target = file_->Seek(offset, origin);
    if (target < 0) return -1;
    buffer_start_ = target;
  } else {
    int64_t base = 0;
    if (origin == SeekOrigin::kCurrent) base = Tell();
    if (origin == SeekOrigin::kEnd) {
      base = file_->Size();
      if (base < 0) return -1;
    }
    target = base + offset;
    if (target < 0) return -1;
    // A target inside the buffer keeps it: readers that seek before every read
    // of a shared stream would otherwise refill it each time.
    if (target >= buffer_start_ && target <= buffer_start_ + static_cast<int64_t>(buffer_len_) &&
        buffer_len_ > 0) {
      buffer_pos_ = static_cast<size_t>(target - buffer_start_);
      eof_ = false;
      ctrl_z_ = false;
      return 0;
    }
    if (file_->Seek(target, SeekOrigin::kBegin) < 0) return -1;
    buffer_start_ = target;
    buffer_pos_ = buffer_len_ = 0;
  }
  eof_ = false;
  ctrl_z_ = false;
  return 0;
}

int64_t Stream::Tell() {
  if (file_ == nullptr) return -1;
  if (writing_) return buffer_start_ + static_cast<int64_t>(buffer_len_);
  return buffer_start_ + static_cast<int64_t>(buffer_pos_);
}

int Stream::Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int r = VPrintf(format, args);
  va_end(args);
  return r;
}

int Stream::VPrintf(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return -1;
  if (static_cast<size_t>(n) < sizeof small) {
    return Write(small, static_cast<size_t>(n)) == static_cast<size_t>(n) ? n : -1;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  vsnprintf(big.data(), big.size(), format, args);
  return Write(big.data(), static_cast<size_t>(n)) == static_cast<size_t>(n) ? n : -1;
}

int Stream::Close() {
  if (file_ == nullptr) return error_ ? -1 : 0;
  Flush();
  file_.reset();
  return error_ ? -1 : 0;
}

}  // namespace upkeep
