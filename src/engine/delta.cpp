#include "engine/delta.h"

#include <cstring>
#include <new>

#include "platform/file_system.h"

namespace upkeep {

namespace {

// Small records are gathered so that a delta of many short pieces does not
// become one system call per piece.
constexpr size_t kWriteBuffer = 1u << 20;

// Write errors are not reported: the checksum test after the patch catches a
// damaged result, and the writing goes on so that progress runs to the end.
class BufferedWriter {
 public:
  explicit BufferedWriter(File* file) : file_(file) { buffer_.reserve(kWriteBuffer); }
  void Write(const uint8_t* data, size_t n) {
    if (n >= kWriteBuffer) {
      Flush();
      WriteAll(data, n);
      return;
    }
    if (buffer_.size() + n > kWriteBuffer) Flush();
    buffer_.insert(buffer_.end(), data, data + n);
  }
  void Flush() {
    WriteAll(buffer_.data(), buffer_.size());
    buffer_.clear();
  }

 private:
  void WriteAll(const uint8_t* data, size_t n) {
    if (n != 0) file_->Write(data, n);
  }
  File* file_;
  std::vector<uint8_t> buffer_;
};

}  // namespace

std::unique_ptr<Delta> LoadDelta(const char* entryName) {
  if (entryName == nullptr) return nullptr;
  std::unique_ptr<Payload> payload = LoadPayloadEntry(entryName);
  if (payload == nullptr) return nullptr;
  std::unique_ptr<Delta> delta(new (std::nothrow) Delta);
  if (delta == nullptr) return nullptr;
  if (!ParseDelta(payload->data.data(), payload->data.size(), &delta->records,
                  &delta->outputSize)) {
    return nullptr;
  }
  delta->payload = std::move(payload);
  return delta;
}

bool DeltaFitsSource(const Delta& delta, uint64_t oldSize) {
  for (const DeltaRecord& r : delta.records) {
    if (!DeltaRecordFitsSource(r, oldSize)) return false;
  }
  return true;
}

int ApplyDelta(const Delta& delta, const MappedFile& old, const std::string& target,
               ProgressCallback progress, int32_t overallPercent, const char* text) {
  uint64_t old_size = old.view != nullptr ? old.size : 0;
  if (!DeltaFitsSource(delta, old_size)) return kApplyDoesNotFit;
  std::unique_ptr<File> out = GetFileSystem()->Open(target, OpenMode::kWrite);
  if (out == nullptr) return kApplyTargetFailed;
  const char* label = text != nullptr ? text : "";
  const uint64_t total = delta.outputSize;
  if (progress != nullptr) progress(overallPercent, 0, target.c_str(), label);
  BufferedWriter writer(out.get());
  uint64_t written = 0;
  uint32_t last = 0;
  for (const DeltaRecord& r : delta.records) {
    if (r.length > 0) {
      const uint8_t* src = r.isCopy ? old.view + r.sourceOffset : r.data;
      writer.Write(src, r.length);
    }
    written += r.length;
    if (progress != nullptr && total > 0) {
      uint32_t p = static_cast<uint32_t>(written * 100 / total);
      if (p != last) {
        last = p;
        progress(overallPercent, static_cast<int32_t>(p), target.c_str(), label);
      }
    }
  }
  writer.Flush();
  return kApplyDone;
}

}  // namespace upkeep
