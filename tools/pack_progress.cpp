#include "pack_progress.h"

#include <cstdio>

#include "platform/console.h"

namespace upkeep {
namespace pack {

namespace {

// Redraws at most this often; a new step or kind of work is shown at once.
constexpr auto kRedrawEvery = std::chrono::milliseconds(250);

std::string Megabytes(uint64_t n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(n) / 1e6);
  return buf;
}

std::string Duration(double seconds) {
  const unsigned long s = static_cast<unsigned long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%lu:%02lu:%02lu", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%lu:%02lu", s / 60, s % 60);
  }
  return buf;
}

// The first `columns` characters (code points) of a UTF-8 text.
std::string Fit(const std::string& text, int columns) {
  int seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen++ == columns) return text.substr(0, i);
  }
  return text;
}

}  // namespace

std::string ProgressLine::Text(const MakeProgress& p, double seconds, int columns) {
  std::string line;
  switch (p.step) {
    case MakeProgress::Step::kComparing:
      line = "comparing " + p.name + "...";
      break;
    case MakeProgress::Step::kWriting:
      line = "writing " + p.name + "...";
      break;
    case MakeProgress::Step::kEncoding: {
      line = "[" + std::to_string(p.files_done) + "/" + std::to_string(p.files_total) + "] " +
             Megabytes(p.bytes_done) + "/" + Megabytes(p.bytes_total) + " MB";
      if (seconds >= 1.0 && p.bytes_done > 0) {
        const double rate = static_cast<double>(p.bytes_done) / seconds;
        const uint64_t left = p.bytes_total > p.bytes_done ? p.bytes_total - p.bytes_done : 0;
        line += ", " + Megabytes(static_cast<uint64_t>(rate)) + " MB/s, " +
                Duration(static_cast<double>(left) / rate) + " left";
      }
      line += "  " + p.what + " " + p.name;
      break;
    }
  }
  return Fit(line, columns);
}

void ProgressLine::Update(const MakeProgress& progress) {
  if (!shown_) return;
  const Clock::time_point now = Clock::now();
  if (progress.step == MakeProgress::Step::kEncoding && !encoding_started_) {
    encoding_started_ = true;
    encoding_start_ = now;
  }
  if (drawn_ && progress.step == step_ && progress.what == what_ && now - last_ < kRedrawEvery)
    return;
  step_ = progress.step;
  what_ = progress.what;
  last_ = now;
  const double seconds =
      encoding_started_ ? std::chrono::duration<double>(now - encoding_start_).count() : 0.0;
  // One column short of the width: a full line would wrap on some terminals.
  const std::string line = Text(progress, seconds, StderrColumns() - 1);
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressLine::Clear() {
  if (!drawn_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace pack
}  // namespace upkeep
