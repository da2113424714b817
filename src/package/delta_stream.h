// Every delta form decoded as a stream, the form chosen by the entry's name
// as PatchFile chooses it: kExtendedDeltaSuffix, kRedeflateDeltaSuffix,
// kPredictedDeltaSuffix, and anything else the basic form of delta_format.h
// in a payload.
#ifndef UPKEEP_PACKAGE_DELTA_STREAM_H_
#define UPKEEP_PACKAGE_DELTA_STREAM_H_

#include <cstdint>

#include "package/byte_sources.h"
#include "package/delta_extended.h"
#include "package/package.h"

namespace upkeep {

enum class DeltaForm { kBasic, kExtended, kRedeflate, kPredicted };

DeltaForm DeltaFormOf(const char* entryName);

// The basic form: the payload is inflated and its records applied as they
// come; memory is the inflater's buffer, whatever the delta's length.
// Arguments and result as DecodeExtendedDelta's.
bool DecodeBasicDelta(PackageSource& stored, OldSource* old, uint64_t oldSize,
                      const DeltaSink& sink, ExtendedDeltaInfo* info);

// `stored` decoded in `form` against the old file.
bool DecodeDelta(DeltaForm form, PackageSource& stored, OldSource* old, uint64_t oldSize,
                 const DeltaSink& sink, ExtendedDeltaInfo* info);

// The delta's shape, checked without the old file: false when it is not whole
// and well formed; else the bytes it writes and the old size it needs.
bool InspectDelta(DeltaForm form, PackageSource& stored, ExtendedDeltaInfo* info);

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_DELTA_STREAM_H_
