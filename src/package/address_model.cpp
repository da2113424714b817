#include "package/address_model.h"

#include <cstring>

#include "platform/zeroed_pages.h"

namespace upkeep {

namespace {

// Opcodes (the byte before the ModRM byte: one-byte opcodes, and the second
// byte of 0F-prefixed ones) whose memory operand is often an address in
// code built for position independence: loads, stores, compares, LEA,
// indirect calls and jumps, and the SSE moves and arithmetic.
constexpr uint8_t kRipOpcodes[] = {
    0x03, 0x0B, 0x10, 0x11, 0x13, 0x1B, 0x23, 0x28, 0x29, 0x2B, 0x2E, 0x2F, 0x33, 0x38,
    0x39, 0x3A, 0x3B, 0x54, 0x58, 0x59, 0x5C, 0x5E, 0x63, 0x6F, 0x7F, 0x80, 0x81, 0x83,
    0x85, 0x88, 0x89, 0x8A, 0x8B, 0x8D, 0xB6, 0xB7, 0xBE, 0xBF, 0xC6, 0xC7, 0xFF,
};

struct OpcodeSet {
  bool has[256] = {};
  constexpr OpcodeSet() {
    for (uint8_t op : kRipOpcodes) has[op] = true;
  }
};
constexpr OpcodeSet kRip;

int32_t GetI32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16) |
                              (static_cast<uint32_t>(p[3]) << 24));
}

size_t Slot(int64_t key) {
  return static_cast<size_t>((static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15ull) >>
                             (64 - kAddressTableBits));
}

// Relative and absolute targets are told apart in the key.
int64_t KeyOf(int64_t target, bool relative) {
  return static_cast<int64_t>((static_cast<uint64_t>(target) << 1) | (relative ? 1u : 0u));
}

constexpr int64_t kNoKey = INT64_MIN;  // no target is ever this

}  // namespace

void AddressModel::FreeTable::operator()(Entry* table) const {
  FreeZeroedPages(table, kTableBytes);
}

bool AddressModel::Init(uint8_t mode) {
  if (mode >= kAddressModes) return false;
  mode_ = mode;
  table_.reset();
  if (mode == kAddressNone) return true;
  // Zeroed pages are an empty table (keys are stored flipped by kNoKey): a
  // delta that names few targets touches few of them.
  table_.reset(static_cast<Entry*>(AllocateZeroedPages(kTableBytes)));
  return table_ != nullptr;
}

void AddressModel::BeginCopy(uint64_t old_pos, uint64_t new_pos, uint64_t length) {
  old_pos_ = old_pos;
  new_pos_ = new_pos;
  left_ = length;
  field_left_ = 0;
}

bool AddressModel::FieldAt(const uint8_t* old, bool* relative, int64_t* target) const {
  if (left_ < 4 || old_pos_ < 1) return false;
  const uint8_t b1 = old[-1];
  const uint8_t b2 = old_pos_ >= 2 ? old[-2] : 0;
  const int64_t value = GetI32(old);
  bool field = false;
  *relative = true;
  if (b1 == 0xE8 || b1 == 0xE9 || (b2 == 0x0F && (b1 & 0xF0) == 0x80)) {
    field = true;
  } else if ((b1 & 0xC7) == 0x05 && old_pos_ >= 2 && kRip.has[b2]) {
    field = true;
    *relative = mode_ == kAddressX64;
  } else if (mode_ == kAddressX86 && (b1 == 0xA1 || b1 == 0xA3 || b1 == 0x68)) {
    field = true;
    *relative = false;
  }
  if (!field) return false;
  *target = *relative ? static_cast<int64_t>(old_pos_) + 4 + value
                      : static_cast<int64_t>(static_cast<uint32_t>(value));
  return true;
}

template <bool kDecode>
void AddressModel::Run(const uint8_t* old, const uint8_t* in, size_t n, uint8_t* out) {
  for (size_t i = 0; i < n; ++i, ++old_pos_, ++new_pos_, --left_) {
    if (field_left_ == 0 && table_ != nullptr) {
      bool relative;
      int64_t target;
      if (FieldAt(old + i, &relative, &target)) {
        field_key_ = KeyOf(target, relative);
        field_relative_ = relative;
        field_new_pos_ = new_pos_;
        field_left_ = 4;
        const Entry& e = table_[Slot(field_key_)];
        if (e.key == (field_key_ ^ kNoKey)) {
          const uint32_t v =
              relative ? static_cast<uint32_t>(e.target - static_cast<int64_t>(new_pos_ + 4))
                       : static_cast<uint32_t>(e.target);
          for (int k = 0; k < 4; ++k) base_[k] = static_cast<uint8_t>(v >> (8 * k));
        } else {
          std::memcpy(base_, old + i, 4);
        }
      }
    }
    if (field_left_ == 0) {
      out[i] =
          kDecode ? static_cast<uint8_t>(old[i] + in[i]) : static_cast<uint8_t>(in[i] - old[i]);
      continue;
    }
    const int at = 4 - field_left_;
    const uint8_t made = kDecode ? static_cast<uint8_t>(base_[at] + in[i]) : in[i];
    out[i] = kDecode ? made : static_cast<uint8_t>(in[i] - base_[at]);
    made_[at] = made;
    if (--field_left_ == 0) {
      const int64_t value = GetI32(made_);
      const int64_t target = field_relative_ ? static_cast<int64_t>(field_new_pos_) + 4 + value
                                             : static_cast<int64_t>(static_cast<uint32_t>(value));
      table_[Slot(field_key_)] = {field_key_ ^ kNoKey, target};
    }
  }
}

void AddressModel::Decode(const uint8_t* old, const uint8_t* adds, size_t n, uint8_t* out) {
  Run<true>(old, adds, n, out);
}

void AddressModel::Encode(const uint8_t* old, const uint8_t* next, size_t n, uint8_t* adds) {
  Run<false>(old, next, n, adds);
}

}  // namespace upkeep
