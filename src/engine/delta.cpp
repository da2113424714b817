#include "engine/delta.h"

#include <cstring>
#include <new>

#include "engine/checksum.h"
#include "engine/content_writer.h"
#include "package/delta_stream.h"
#include "package/delta_predicted.h"
#include "package/delta_redeflate.h"
#include "platform/file_system.h"

namespace upkeep {

namespace {

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

// Both decoders have the same shape: a checking pass without a sink, then the
// writing pass against the old content.
bool DecodeStored(const Delta& delta, const uint8_t* old, uint64_t oldSize, const DeltaSink& sink,
                  ExtendedDeltaInfo* info) {
  MemorySource stored(delta.stored.data(), delta.stored.size());
  MemoryOldSource from(old, old != nullptr ? oldSize : 0);
  const DeltaForm form = delta.redeflate   ? DeltaForm::kRedeflate
                         : delta.predicted ? DeltaForm::kPredicted
                                           : DeltaForm::kExtended;
  return DecodeDelta(form, stored, old != nullptr ? &from : nullptr, oldSize, sink, info);
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
  std::unique_ptr<File> out = CreateNewFile(target);
  if (out == nullptr) return kApplyTargetFailed;
  ByteProgress report(progress, overallPercent, target.c_str(), label, delta.outputSize);
  ContentWriter writer(out.get());
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
  writer.Finish(written);
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
  std::unique_ptr<File> out = CreateNewFile(target);
  if (out == nullptr) return kApplyTargetFailed;
  ByteProgress report(progress, overallPercent, target.c_str(), label, delta.outputSize);
  ContentWriter writer(out.get());
  for (const DeltaRecord& r : delta.records) {
    if (r.length > 0) {
      const uint8_t* src = r.isCopy ? old.view + r.sourceOffset : r.data;
      writer.Write(src, r.length);
    }
    report.Add(r.length);
  }
  writer.Finish(written);
  return kApplyDone;
}

bool InspectDeltaEntry(const PackageEntry& entry, ExtendedDeltaInfo* info) {
  std::unique_ptr<EntrySource> stored = EntrySource::Open(entry);
  return stored != nullptr && InspectDelta(DeltaFormOf(entry.name.c_str()), *stored, info);
}

int ApplyDeltaEntry(const PackageEntry& entry, const ExtendedDeltaInfo& shape, OldSource& old,
                    FileSystem* fs, const std::string& target, ProgressCallback progress,
                    int32_t overallPercent, const char* text, WrittenContent* written) {
  if (shape.oldNeeded > old.size()) return kApplyDoesNotFit;
  std::unique_ptr<EntrySource> stored = EntrySource::Open(entry);
  if (stored == nullptr) return kApplyDoesNotFit;
  std::unique_ptr<File> out = CreateNewFile(fs, target);
  if (out == nullptr) return kApplyTargetFailed;
  ByteProgress report(progress, overallPercent, target.c_str(), text != nullptr ? text : "",
                      shape.outputSize);
  ContentWriter writer(out.get());
  uint64_t made = 0;
  const DeltaSink sink = [&](const uint8_t* data, size_t n) {
    made += n;
    writer.Write(data, n);
    report.Add(n);
  };
  ExtendedDeltaInfo info;
  if (!DecodeDelta(DeltaFormOf(entry.name.c_str()), *stored, &old, old.size(), sink, &info) ||
      made != shape.outputSize) {
    return kApplyDoesNotFit;
  }
  writer.Finish(written);
  return kApplyDone;
}

}  // namespace upkeep
