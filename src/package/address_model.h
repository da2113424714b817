// The address model of the predicted delta form (package/delta_predicted.h).
// When code moves, every branch and every address into moved code changes,
// and a byte-wise delta pays for each. But a target that moved by some amount
// moved by it for every field that names it: once one field naming a target
// has been seen in the new file, the others are predicted, and only the
// difference from the prediction is stored (zero when it was right).
//
// Fields are found in the old file's bytes, so the writer and the reader find
// the same ones: in a copy with adds, a 4-byte field whose old bytes follow
//   E8, E9 (call, jmp rel32), 0F 80-8F (jcc rel32)          relative
//   an opcode from kRipOpcodes and a ModRM byte with mod 00, rm 101
//                                                           relative (x86-64: RIP + disp32)
//                                                           absolute (x86: disp32)
//   A1, A3 (mov with moffs32), 68 (push imm32), in x86 mode  absolute
// and that lies wholly inside the copy. A relative field at old position q
// holding d names old target q + 4 + d; an absolute one names d itself. The
// table maps old targets to the new target last seen for them; a field with
// no entry is predicted as its old bytes, as in the extended form. After the
// field is made, its new target goes into the table. Fields do not overlap:
// the search resumes after a field's fourth byte.
#ifndef UPKEEP_PACKAGE_ADDRESS_MODEL_H_
#define UPKEEP_PACKAGE_ADDRESS_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <memory>

namespace upkeep {

enum : uint8_t {
  kAddressNone = 0,  // adds against the old bytes, as in the extended form
  kAddressX64 = 1,   // x86-64 code
  kAddressX86 = 2,   // 32-bit x86 code
  kAddressModes = 3,
};

// Entries of the table; old targets that share a slot push each other out.
constexpr unsigned kAddressTableBits = 18;

class AddressModel {
 public:
  // False when `mode` is unknown or the table cannot be had.
  bool Init(uint8_t mode);
  uint8_t mode() const { return mode_; }

  // A copy with adds of `length` bytes from old position `old_pos` to new
  // position `new_pos` begins.
  void BeginCopy(uint64_t old_pos, uint64_t new_pos, uint64_t length);

  // The next `n` bytes of the current copy. `old` points at the old byte at
  // the copy's current position; the old bytes from two before it (where the
  // old file has them) to three past the n-th (where the copy has them) must
  // be readable. Decode makes new bytes from adds; Encode makes adds from new
  // bytes. Both advance the copy.
  void Decode(const uint8_t* old, const uint8_t* adds, size_t n, uint8_t* out);
  void Encode(const uint8_t* old, const uint8_t* next, size_t n, uint8_t* adds);

 private:
  struct Entry {
    int64_t key;
    int64_t target;
  };
  template <bool kDecode>
  void Run(const uint8_t* old, const uint8_t* in, size_t n, uint8_t* out);
  // When a field starts at the current position: its kind and old target.
  bool FieldAt(const uint8_t* old, bool* relative, int64_t* target) const;

  uint8_t mode_ = kAddressNone;
  static constexpr size_t kTableBytes = (size_t{1} << kAddressTableBits) * sizeof(Entry);
  struct FreeTable {
    void operator()(Entry* table) const;
  };
  std::unique_ptr<Entry[], FreeTable> table_;
  uint64_t old_pos_ = 0, new_pos_ = 0, left_ = 0;  // the current copy, where it has got to
  // The field being made: its bytes predicted, made so far, and what names it.
  int field_left_ = 0;
  uint8_t base_[4] = {};
  uint8_t made_[4] = {};
  int64_t field_key_ = 0;
  uint64_t field_new_pos_ = 0;
  bool field_relative_ = false;
};

}  // namespace upkeep

#endif  // UPKEEP_PACKAGE_ADDRESS_MODEL_H_
