#include "engine/delta.h"

#include <cstring>
#include <new>

#include "engine/checksum.h"
#include "package/delta_predicted.h"
#include "package/delta_redeflate.h"
#include "platform/file_system.h"

namespace upkeep {

namespace {

// Small records are gathered so that a delta of many short pieces does not
// become one system call per piece.
constexpr size_t kWriteBuffer = 1u << 20;

// Write errors are not reported: the caller compares what was accepted with
// the content's length, and the writing goes on so that progress runs to the
// end. The CRC covers exactly the bytes the system took, in file order, so it
// is the CRC of the file whenever the lengths agree.
class BufferedWriter {
 public:
  explicit BufferedWriter(File* file) : file_(file) { buffer_.reserve(kWriteBuffer); }
  uint64_t accepted() const { return accepted_; }
  uint32_t crc() const { return crc_; }
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
    if (n == 0) return;
    const int64_t put = file_->Write(data, n);
    if (put <= 0) return;
    const size_t taken = static_cast<size_t>(put) < n ? static_cast<size_t>(put) : n;
    crc_ = ContinueCrc(crc_, data, taken);
    accepted_ += taken;
  }
  File* file_;
  std::vector<uint8_t> buffer_;
  uint64_t accepted_ = 0;
  uint32_t crc_ = 0;
};

// The end of a write: what `written` wants to know, and the flush it asks for.
void Finish(BufferedWriter* writer, File* out, WrittenContent* written) {
  writer->Flush();
  if (written == nullptr) return;
  written->accepted = writer->accepted();
  written->crc = writer->crc();
  written->fileSize = out->Size();
  written->flushed = out->Flush();
}

// The stored bytes of an entry; their size is what the entry holds, never a
// length taken from inside it.
bool ReadStored(const char* name, std::vector<uint8_t>* out) {
  PackageFile* file = OpenPackageFile(name, "rb");
  if (file == nullptr) return false;
  bool ok = SeekPackageFile(file, 0, 2) == 0;
  const int32_t total = ok ? TellPackageFile(file) : -1;
  ok = total >= 8 && SeekPackageFile(file, 0, 0) == 0;
  if (ok) {
    try {
      out->resize(static_cast<size_t>(total));
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  ok = ok && ReadPackageFile(out->data(), 1, out->size(), file) == out->size();
  ClosePackageFile(file);
  return ok;
}

// Reports (overall, 0, target, label) at once, then (overall, p, target, label)
// whenever the integer percentage of the new content written changes.
struct WriteProgress {
  WriteProgress(ProgressCallback progress, int32_t overall, const char* target, const char* label,
                uint64_t total)
      : progress(progress), overall(overall), target(target), label(label), total(total) {
    if (progress != nullptr) progress(overall, 0, target, label);
  }
  void Add(uint64_t n) {
    written += n;
    if (progress == nullptr || total == 0) return;
    const uint32_t p = static_cast<uint32_t>(written * 100 / total);
    if (p == last) return;
    last = p;
    progress(overall, static_cast<int32_t>(p), target, label);
  }
  ProgressCallback progress;
  int32_t overall;
  const char* target;
  const char* label;
  uint64_t total;
  uint64_t written = 0;
  uint32_t last = 0;
};

// Both decoders have the same shape: a checking pass without a sink, then the
// writing pass against the old content.
bool DecodeStored(const Delta& delta, const uint8_t* old, uint64_t oldSize, const DeltaSink& sink,
                  ExtendedDeltaInfo* info) {
  return (delta.redeflate   ? DecodeRedeflateDelta
          : delta.predicted ? DecodePredictedDelta
                            : DecodeExtendedDelta)(delta.stored.data(), delta.stored.size(), old,
                                                   oldSize, sink, info);
}

std::unique_ptr<Delta> LoadExtendedDelta(const char* entryName, bool redeflate,
                                         bool predicted = false) {
  std::unique_ptr<Delta> delta(new (std::nothrow) Delta);
  if (delta == nullptr || !ReadStored(entryName, &delta->stored)) return nullptr;
  delta->redeflate = redeflate;
  delta->predicted = predicted;
  // A first pass checks the whole stream before anything is moved or written.
  ExtendedDeltaInfo info;
  if (!DecodeStored(*delta, nullptr, UINT64_MAX, nullptr, &info)) return nullptr;
  delta->extended = true;
  delta->outputSize = info.outputSize;
  delta->oldNeeded = info.oldNeeded;
  return delta;
}

int ApplyExtendedDelta(const Delta& delta, const MappedFile& old, const std::string& target,
                       ProgressCallback progress, int32_t overallPercent, const char* label,
                       WrittenContent* written) {
  const uint64_t old_size = old.view != nullptr ? old.size : 0;
  std::unique_ptr<File> out = GetFileSystem()->Open(target, OpenMode::kWrite);
  if (out == nullptr) return kApplyTargetFailed;
  WriteProgress report{progress, overallPercent, target.c_str(), label, delta.outputSize};
  BufferedWriter writer(out.get());
  DeltaSink sink = [&](const uint8_t* data, size_t n) {
    writer.Write(data, n);
    report.Add(n);
  };
  ExtendedDeltaInfo info;
  const bool ok = DecodeStored(delta, old.view, old_size, sink, &info);
  // The stream was checked when loaded, so this fails only when the old
  // content does not fit (or, for deflated views, does not inflate or deflate
  // as listed); the caller then puts the old file back.
  if (!ok) return kApplyDoesNotFit;
  Finish(&writer, out.get(), written);
  return kApplyDone;
}

}  // namespace

std::unique_ptr<Delta> LoadDelta(const char* entryName) {
  if (entryName == nullptr) return nullptr;
  if (IsExtendedDeltaName(entryName)) return LoadExtendedDelta(entryName, false);
  if (IsRedeflateDeltaName(entryName)) return LoadExtendedDelta(entryName, true);
  if (IsPredictedDeltaName(entryName)) return LoadExtendedDelta(entryName, false, true);
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
  if (delta.extended) return delta.oldNeeded <= oldSize;
  for (const DeltaRecord& r : delta.records) {
    if (!DeltaRecordFitsSource(r, oldSize)) return false;
  }
  return true;
}

int ApplyDelta(const Delta& delta, const MappedFile& old, const std::string& target,
               ProgressCallback progress, int32_t overallPercent, const char* text,
               WrittenContent* written) {
  uint64_t old_size = old.view != nullptr ? old.size : 0;
  if (!DeltaFitsSource(delta, old_size)) return kApplyDoesNotFit;
  const char* label = text != nullptr ? text : "";
  if (delta.extended)
    return ApplyExtendedDelta(delta, old, target, progress, overallPercent, label, written);
  std::unique_ptr<File> out = GetFileSystem()->Open(target, OpenMode::kWrite);
  if (out == nullptr) return kApplyTargetFailed;
  WriteProgress report{progress, overallPercent, target.c_str(), label, delta.outputSize};
  BufferedWriter writer(out.get());
  for (const DeltaRecord& r : delta.records) {
    if (r.length > 0) {
      const uint8_t* src = r.isCopy ? old.view + r.sourceOffset : r.data;
      writer.Write(src, r.length);
    }
    report.Add(r.length);
  }
  Finish(&writer, out.get(), written);
  return kApplyDone;
}

}  // namespace upkeep
