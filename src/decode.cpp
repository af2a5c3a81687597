#include "decode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>
#include <string_view>
#include <type_traits>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELQ_UTF8_AVX2 1
#else
#define VELQ_UTF8_AVX2 0
#endif

namespace velq {
namespace {

// Smallest encodings of an array value (self_def_index, elem_def_index, count) and an object value
// (self_def_index alone), used to bound how many items a payload can hold.
constexpr std::size_t kMinArrayBytes = 6;
constexpr std::size_t kMinObjectBytes = 2;
constexpr std::size_t kEntryHeaderBytes = 6;

template <class T>
inline T load_le(const std::uint8_t* at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    T swapped = 0;
    for (std::size_t i = 0; i < sizeof v; ++i) {
      swapped = static_cast<T>((swapped << 8) | ((v >> (8 * i)) & 0xFF));
    }
    v = swapped;
  }
  return v;
}

inline std::uint16_t load_u16(const std::uint8_t* at) { return load_le<std::uint16_t>(at); }
inline std::uint32_t load_u32(const std::uint8_t* at) { return load_le<std::uint32_t>(at); }
inline std::size_t load_u24(const std::uint8_t* at) {
  return static_cast<std::size_t>(at[0]) | static_cast<std::size_t>(at[1]) << 8 |
         static_cast<std::size_t>(at[2]) << 16;
}

std::string unknown_tag(std::uint8_t byte) { return "Unknown VELQ type tag: 0x" + hex_byte(byte); }

// ---------------------------------------------------------------------------------------------
// UTF-8 validation (RFC 3629).

// Where a text stops being well-formed: `index` counts the valid bytes before the fault, `length`
// is the maximal ill-formed subpart found there (1 to 3), or 0 when the text ends inside a sequence
// that could still have been completed.
struct Utf8Fault {
  std::size_t index = 0;
  std::size_t length = 0;
};

std::string describe(const Utf8Fault& fault) {
  if (fault.length == 0) return compose_message("incomplete utf-8 byte sequence from index ", fault.index);
  return compose_message("invalid utf-8 sequence of ", fault.length, " bytes from index ", fault.index);
}

// Checks the multi-byte sequence whose lead byte is at s[0] (n bytes available). Returns its length,
// or 0 after filling `fault` (with index 0, relative to s).
inline std::size_t check_sequence(const std::uint8_t* s, std::size_t n, Utf8Fault& fault) {
  const std::uint8_t lead = s[0];
  // The second byte's range is narrowed for the leads that would otherwise admit overlong forms,
  // surrogates or code points above U+10FFFF.
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  std::size_t size;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    fault = {0, 1};
    return 0;
  }
  if (n < 2) {
    fault = {0, 0};
    return 0;
  }
  if (s[1] < low || s[1] > high) {
    fault = {0, 1};
    return 0;
  }
  for (std::size_t k = 2; k < size; ++k) {
    if (k >= n) {
      fault = {0, 0};
      return 0;
    }
    if ((s[k] & 0xC0) != 0x80) {
      fault = {0, k};
      return 0;
    }
  }
  return size;
}

// True when the n bytes at s are well-formed UTF-8; otherwise fills `fault`. ASCII runs are
// skipped eight bytes at a time.
bool scan_utf8(const std::uint8_t* s, std::size_t n, Utf8Fault& fault) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::size_t i = 0;
  while (i < n) {
    if (n - i >= 8) {
      const std::uint64_t high = load_le<std::uint64_t>(s + i) & kHighBits;
      if (high == 0) {
        i += 8;
        continue;
      }
      i += static_cast<std::size_t>(std::countr_zero(high)) / 8;
    } else if (n >= 8) {
      // Less than a word is left: load the last word and drop the 1 to 7 bytes already checked.
      const std::size_t checked = i - (n - 8);
      const std::uint64_t high = (load_le<std::uint64_t>(s + n - 8) & kHighBits) >> (8 * checked);
      if (high == 0) return true;
      i += static_cast<std::size_t>(std::countr_zero(high)) / 8;
    } else if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t size = check_sequence(s + i, n - i, fault);
    if (size == 0) {
      fault.index = i;
      return false;
    }
    i += size;
  }
  return true;
}

// A faster yes-or-no check of the same rules, for the common case of valid text: a validating
// automaton in the shift-based form. The row of a byte holds, for every state s (a multiple of 6),
// the next state in bits s to s+5. State 0 accepts; state 6 is the error state, which every byte
// keeps; the others count the continuation bytes still due and narrow the range of the next one
// after E0, ED, F0 and F4 (overlong forms, surrogates, code points above U+10FFFF).
namespace utf8_state {
constexpr std::uint64_t kAccept = 0;
constexpr std::uint64_t kError = 6;
constexpr std::uint64_t kOneMore = 12;
constexpr std::uint64_t kTwoMore = 18;
constexpr std::uint64_t kAfterE0 = 24;
constexpr std::uint64_t kAfterED = 30;
constexpr std::uint64_t kThreeMore = 36;
constexpr std::uint64_t kAfterF0 = 42;
constexpr std::uint64_t kAfterF4 = 48;
constexpr std::size_t kStates = 9;
}  // namespace utf8_state

constexpr std::array<std::uint64_t, 256> make_utf8_rows() {
  using namespace utf8_state;
  std::array<std::uint64_t, 256> rows{};
  for (unsigned b = 0; b < 256; ++b) {
    std::uint64_t next[kStates];
    for (std::uint64_t& state : next) state = kError;
    auto link = [&next](std::uint64_t from, std::uint64_t to) { next[from / 6] = to; };
    if (b < 0x80) {
      link(kAccept, kAccept);
    } else if (b < 0xC0) {
      link(kOneMore, kAccept);
      link(kTwoMore, kOneMore);
      link(kThreeMore, kTwoMore);
      if (b >= 0xA0) link(kAfterE0, kOneMore);
      if (b <= 0x9F) link(kAfterED, kOneMore);
      if (b >= 0x90) link(kAfterF0, kTwoMore);
      if (b <= 0x8F) link(kAfterF4, kTwoMore);
    } else if (b >= 0xC2 && b <= 0xDF) {
      link(kAccept, kOneMore);
    } else if (b == 0xE0) {
      link(kAccept, kAfterE0);
    } else if (b == 0xED) {
      link(kAccept, kAfterED);
    } else if (b >= 0xE1 && b <= 0xEF) {
      link(kAccept, kTwoMore);
    } else if (b == 0xF0) {
      link(kAccept, kAfterF0);
    } else if (b >= 0xF1 && b <= 0xF3) {
      link(kAccept, kThreeMore);
    } else if (b == 0xF4) {
      link(kAccept, kAfterF4);
    }
    std::uint64_t row = 0;
    for (std::size_t s = 0; s < kStates; ++s) row |= next[s] << (6 * s);
    rows[b] = row;
  }
  return rows;
}

constexpr std::array<std::uint64_t, 256> kUtf8Rows = make_utf8_rows();

inline std::uint64_t utf8_step(std::uint64_t state, std::uint8_t byte) {
  return (kUtf8Rows[byte] >> state) & 63;
}

// True when the n bytes at s are well-formed UTF-8; `ascii` tells whether every byte is below 0x80.
// Runs of 16 ASCII bytes between sequences are skipped whole.
inline bool utf8_valid(const std::uint8_t* s, std::size_t n, bool& ascii) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::uint64_t state = utf8_state::kAccept;
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; n - i >= 16; i += 16) {
    const std::uint64_t chunk = (load_le<std::uint64_t>(s + i) | load_le<std::uint64_t>(s + i + 8)) & kHighBits;
    high |= chunk;
    if ((chunk | state) == 0) continue;
    for (std::size_t k = 0; k < 16; ++k) state = utf8_step(state, s[i + k]);
  }
  // The last 0 to 15 bytes, tested for high bits with two overlapping loads where they fit.
  const std::size_t left = n - i;
  std::uint64_t tail = 0;
  if (left >= 8) {
    tail = (load_le<std::uint64_t>(s + i) | load_le<std::uint64_t>(s + n - 8)) & kHighBits;
  } else if (left >= 4) {
    tail = (load_le<std::uint32_t>(s + i) | load_le<std::uint32_t>(s + n - 4)) & 0x80808080U;
  } else {
    for (std::size_t k = i; k < n; ++k) tail |= s[k] & 0x80U;
  }
  high |= tail;
  if ((tail | state) != 0) {
    for (; i < n; ++i) state = utf8_step(state, s[i]);
  }
  ascii = high == 0;
  return state == utf8_state::kAccept;
}

#if VELQ_UTF8_AVX2
// The same check 32 bytes at a time, by Keiser and Lemire's lookup method ("Validating UTF-8 in less
// than one instruction per byte", 2021). Every byte is classified together with the byte before it
// by three 16-entry tables (the high and low nibble of the first, the high nibble of the second),
// whose bits name the faults that the pair could be part of; a fault remains where all three agree.
// Continuation bytes that are the third or fourth byte of a sequence are matched against the lead
// byte two or three places back.
namespace utf8_lookup {
constexpr std::uint8_t kTooShort = 1 << 0;     // a lead byte or ASCII byte after a lead byte
constexpr std::uint8_t kTooLong = 1 << 1;      // ASCII followed by a continuation byte
constexpr std::uint8_t kOverlong3 = 1 << 2;    // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;     // F4 90..BF, F5..FF followed by 90..BF
constexpr std::uint8_t kSurrogate = 1 << 4;    // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;    // C0 or C1 followed by a continuation byte
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;    // F0 80..8F
constexpr std::uint8_t kTwoConts = 1 << 7;     // a continuation byte after a continuation byte
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;
}  // namespace utf8_lookup

[[gnu::target("avx2")]] inline __m256i utf8_table(std::uint8_t t0, std::uint8_t t1, std::uint8_t t2,
                                                  std::uint8_t t3, std::uint8_t t4, std::uint8_t t5,
                                                  std::uint8_t t6, std::uint8_t t7, std::uint8_t t8,
                                                  std::uint8_t t9, std::uint8_t t10, std::uint8_t t11,
                                                  std::uint8_t t12, std::uint8_t t13, std::uint8_t t14,
                                                  std::uint8_t t15) {
  return _mm256_setr_epi8(t0, t1, t2, t3, t4, t5, t6, t7, t8, t9, t10, t11, t12, t13, t14, t15, t0, t1, t2, t3,
                          t4, t5, t6, t7, t8, t9, t10, t11, t12, t13, t14, t15);
}

// The faults of one block, given the block before it.
[[gnu::target("avx2")]] inline __m256i utf8_block_faults(__m256i input, __m256i previous) {
  using namespace utf8_lookup;
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  // The bytes one, two and three places back, across the block boundary.
  const __m256i joined = _mm256_permute2x128_si256(previous, input, 0x21);
  const __m256i prev1 = _mm256_alignr_epi8(input, joined, 15);
  const __m256i prev2 = _mm256_alignr_epi8(input, joined, 14);
  const __m256i prev3 = _mm256_alignr_epi8(input, joined, 13);

  const __m256i byte_1_high = _mm256_shuffle_epi8(
      utf8_table(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTwoConts,
                 kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
                 kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),
      _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble));
  constexpr std::uint8_t kLarge = kCarry | kTooLarge | kTooLarge1000;
  const __m256i byte_1_low = _mm256_shuffle_epi8(
      utf8_table(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
                 kCarry | kTooLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge,
                 kLarge | kSurrogate, kLarge, kLarge),
      _mm256_and_si256(prev1, nibble));
  constexpr std::uint8_t kCont = kTooLong | kOverlong2 | kTwoConts;
  const __m256i byte_2_high = _mm256_shuffle_epi8(
      utf8_table(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                 kCont | kOverlong3 | kTooLarge1000 | kOverlong4, kCont | kOverlong3 | kTooLarge,
                 kCont | kSurrogate | kTooLarge, kCont | kSurrogate | kTooLarge, kTooShort, kTooShort,
                 kTooShort, kTooShort),
      _mm256_and_si256(_mm256_srli_epi16(input, 4), nibble));
  const __m256i special = _mm256_and_si256(_mm256_and_si256(byte_1_high, byte_1_low), byte_2_high);

  // 0x80 where the byte must be the third (lead E0..FF two back) or fourth (F0..FF three back) of
  // a sequence; there it must show the two-continuations mark, and nowhere else.
  const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m256i must_continue =
      _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(must_continue, special);
}

// Nonzero when the block ends inside a sequence (a lead byte among its last three bytes that needs
// more bytes than are left).
[[gnu::target("avx2")]] inline __m256i utf8_unfinished(__m256i input) {
  const __m256i limits =
      _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                       -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1),
                       static_cast<char>(0xC0 - 1));
  return _mm256_subs_epu8(input, limits);
}

// The state carried from block to block.
struct Utf8Blocks {
  __m256i faults;
  __m256i previous;
  __m256i unfinished;
  int high;
};

[[gnu::target("avx2")]] inline void utf8_take_block(Utf8Blocks& blocks, __m256i input) {
  const int mask = _mm256_movemask_epi8(input);
  blocks.high |= mask;
  if (mask == 0) {
    blocks.faults = _mm256_or_si256(blocks.faults, blocks.unfinished);
  } else {
    blocks.faults = _mm256_or_si256(blocks.faults, utf8_block_faults(input, blocks.previous));
    blocks.unfinished = utf8_unfinished(input);
  }
  blocks.previous = input;
}

[[gnu::target("avx2")]] bool utf8_valid_avx2(const std::uint8_t* s, std::size_t n, bool& ascii) {
  Utf8Blocks blocks{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(), 0};
  std::size_t i = 0;
  for (; n - i >= 32; i += 32) {
    utf8_take_block(blocks, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i)));
  }
  if (i < n) {
    // The last bytes, followed by zeros: a sequence cut short meets an ASCII byte.
    alignas(32) std::uint8_t last[32] = {};
    std::memcpy(last, s + i, n - i);
    utf8_take_block(blocks, _mm256_load_si256(reinterpret_cast<const __m256i*>(last)));
  }
  const __m256i faults = _mm256_or_si256(blocks.faults, blocks.unfinished);
  ascii = blocks.high == 0;
  return _mm256_testz_si256(faults, faults) != 0;
}

// Long texts only: for short ones setting up the tables costs more than it saves.
constexpr std::size_t kUtf8VectorMinimum = 64;

inline bool has_avx2() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return supported;
}
#endif

// The fast check first; the exact scan only to describe a fault.
inline bool check_utf8(const std::uint8_t* s, std::size_t n, bool& ascii, Utf8Fault& fault) {
#if VELQ_UTF8_AVX2
  if (n >= kUtf8VectorMinimum && has_avx2()) {
    if (utf8_valid_avx2(s, n, ascii)) [[likely]] return true;
    return scan_utf8(s, n, fault);
  }
#endif
  if (utf8_valid(s, n, ascii)) [[likely]] return true;
  return scan_utf8(s, n, fault);
}

inline bool check_utf8(const std::uint8_t* s, std::size_t n, Utf8Fault& fault) {
  bool ascii;
  return check_utf8(s, n, ascii, fault);
}

// ---------------------------------------------------------------------------------------------
// Values.

// The unread part of one entry's payload.
struct Cursor {
  const std::uint8_t* at;
  const std::uint8_t* end;
  std::size_t left() const { return static_cast<std::size_t>(end - at); }
};

using Nodes = std::vector<VelqData>;

// The value reader reports what it reads to a sink. A sink may place each value by a Slot: the
// handle that the sink gave for the enclosing array or object (or the entry), passed back with
// every value inside it.

// Walks the fixed-width items of an array (Bool: 1 byte; Int32, UInt32, Float32: 4 bytes) and
// yields each as a node, so that the item vector is built by one range insertion: one allocation and
// no capacity check per item.
template <std::size_t Index, class T>
struct FixedNodes {
  static constexpr std::size_t kWidth = std::is_same_v<T, bool> ? 1 : 4;

  using iterator_category = std::forward_iterator_tag;
  using value_type = VelqData;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = VelqData;

  const std::uint8_t* at;

  VelqData operator*() const {
    if constexpr (std::is_same_v<T, bool>) {
      return VelqData(std::in_place_index<Index>, *at != 0);
    } else {
      return VelqData(std::in_place_index<Index>, std::bit_cast<T>(load_u32(at)));
    }
  }
  FixedNodes& operator++() {
    at += kWidth;
    return *this;
  }
  FixedNodes operator++(int) {
    FixedNodes before = *this;
    at += kWidth;
    return before;
  }
  bool operator==(const FixedNodes&) const = default;
};

// Builds the VelqData tree of decode_document. A slot is the vector of the enclosing array's items
// or object's values; every node is constructed in place at its end.
class TreeSink {
 public:
  using Slot = Nodes*;

  explicit TreeSink(std::vector<VelqChunk>& chunks) : chunks_(chunks) {}

  void begin_entries(const std::vector<VelqDefinition>&, const std::vector<std::string>&, std::size_t,
                     std::size_t capacity) {
    chunks_.reserve(capacity);
    entry_.reserve(1);
  }
  // Holds each entry's value until it is checked.
  Slot entry_slot() { return &entry_; }
  void end_entry(std::uint16_t def_index) {
    chunks_.push_back({std::move(entry_.back()), def_index});
    entry_.clear();
  }
  void end_entries() {}

  void null(Slot out) { out->emplace_back(); }
  void boolean(Slot out, bool value) { out->emplace_back(std::in_place_index<kBoolIndex>, value); }
  void int32(Slot out, std::int32_t value) { out->emplace_back(std::in_place_index<kInt32Index>, value); }
  void uint32(Slot out, std::uint32_t value) { out->emplace_back(std::in_place_index<kUInt32Index>, value); }
  void float32(Slot out, float value) { out->emplace_back(std::in_place_index<kFloat32Index>, value); }
  void string(Slot out, const std::uint8_t* text, std::size_t size, bool) {
    out->emplace_back(std::in_place_index<kStringIndex>, reinterpret_cast<const char*>(text), size);
  }
  void str_ref(Slot out, std::uint32_t index) {
    out->emplace_back(std::in_place_index<kStrRefIndex>, VelqStrRef{index});
  }

  Slot begin_array(Slot out, std::uint16_t self, std::uint16_t elem, std::size_t, std::size_t capacity) {
    VelqArray& array = *std::get_if<kArrayIndex>(&out->emplace_back(std::in_place_index<kArrayIndex>));
    array.self_def_index = self;
    array.elem_def_index = elem;
    array.items.reserve(capacity);
    return &array.items;
  }
  template <VelqType Type>
  void fixed_array(Slot out, std::uint16_t self, std::uint16_t elem, const std::uint8_t* at,
                   std::size_t count) {
    Nodes& items = *begin_array(out, self, elem, count, 0);
    if constexpr (Type == VelqType::Null) {
      items.resize(count);
    } else if constexpr (Type == VelqType::Bool) {
      insert<kBoolIndex, bool>(items, at, count);
    } else if constexpr (Type == VelqType::Int32) {
      insert<kInt32Index, std::int32_t>(items, at, count);
    } else if constexpr (Type == VelqType::UInt32) {
      insert<kUInt32Index, std::uint32_t>(items, at, count);
    } else {
      insert<kFloat32Index, float>(items, at, count);
    }
  }
  void end_array(Slot) {}

  Slot begin_object(Slot out, std::uint16_t self, std::size_t count) {
    VelqObject& object = *std::get_if<kObjectIndex>(&out->emplace_back(std::in_place_index<kObjectIndex>));
    object.self_def_index = self;
    object.values.reserve(count);
    return &object.values;
  }
  void end_object(Slot) {}

 private:
  template <std::size_t Index, class T>
  static void insert(Nodes& items, const std::uint8_t* at, std::size_t count) {
    using Walk = FixedNodes<Index, T>;
    items.insert(items.end(), Walk{at}, Walk{at + Walk::kWidth * count});
  }

  std::vector<VelqChunk>& chunks_;
  Nodes entry_;
};

// Hands every value to a DecodeSink; there is nothing to place, so the slot is empty.
struct NoSlot {};

class EventSink {
 public:
  using Slot = NoSlot;

  explicit EventSink(DecodeSink& target) : target_(target) {}

  void begin_entries(const std::vector<VelqDefinition>& definitions, const std::vector<std::string>& dict,
                     std::size_t count, std::size_t) {
    target_.begin_entries(definitions, dict, count);
  }
  Slot entry_slot() { return {}; }
  void end_entry(std::uint16_t) {}
  void end_entries() { target_.end_entries(); }

  void null(Slot) { target_.null(); }
  void boolean(Slot, bool value) { target_.boolean(value); }
  void int32(Slot, std::int32_t value) { target_.int32(value); }
  void uint32(Slot, std::uint32_t value) { target_.uint32(value); }
  void float32(Slot, float value) { target_.float32(value); }
  void string(Slot, const std::uint8_t* text, std::size_t size, bool ascii) {
    target_.string(std::string_view(reinterpret_cast<const char*>(text), size), ascii);
  }
  void str_ref(Slot, std::uint32_t index) { target_.str_ref(index); }

  Slot begin_array(Slot, std::uint16_t, std::uint16_t, std::size_t count, std::size_t) {
    target_.begin_array(count);
    return {};
  }
  void end_array(Slot) { target_.end_array(); }
  template <VelqType Type>
  void fixed_array(Slot, std::uint16_t, std::uint16_t, const std::uint8_t* at, std::size_t count) {
    target_.fixed_array(Type, at, count);
  }

  Slot begin_object(Slot, std::uint16_t self, std::size_t count) {
    target_.begin_object(self, count);
    return {};
  }
  void end_object(Slot) { target_.end_object(); }

 private:
  DecodeSink& target_;
};

// Reads values against a definition list and reports them to a sink; keeps the first failure's
// message. Every reader advances c.at past the value's bytes.
template <class Sink>
class ValueReader {
 public:
  using Slot = typename Sink::Slot;

  ValueReader(const std::vector<VelqDefinition>& definitions, Sink& sink)
      : definitions_(definitions), sink_(sink) {}

  bool array(Cursor& c, std::size_t depth, Slot out);
  bool object(Cursor& c, std::size_t depth, Slot out);
  [[gnu::always_inline]] inline bool primitive(Cursor& c, VelqType type, Slot out);

  std::string take_message() { return std::move(message_); }

 private:
  template <VelqType Type>
  bool fixed_array(Cursor& c, std::uint16_t self, std::uint16_t elem_def, std::size_t count, Slot out,
                   const char* message);
  bool string(Cursor& c, Slot out);

  [[gnu::cold]] bool fail(std::string message) {
    message_ = std::move(message);
    return false;
  }

  const std::vector<VelqDefinition>& definitions_;
  Sink& sink_;
  std::string message_;
};

template <class Sink>
bool ValueReader<Sink>::array(Cursor& c, std::size_t depth, Slot out) {
  if (depth > MAX_DEPTH) [[unlikely]] return fail("Max recursion depth");
  const std::size_t left = c.left();
  if (left < 2) [[unlikely]] return fail("Truncated array self_def_index");
  const std::uint16_t self = load_u16(c.at);
  if (self >= definitions_.size()) [[unlikely]] return fail(compose_message("Unknown definition index: ", self));
  const std::optional<VelqType>& elem_type = definitions_[self].elem_type;
  if (!elem_type) [[unlikely]] return fail(compose_message("Array #", self, " has no elem_type"));
  if (left < 4) [[unlikely]] return fail("Truncated array elem_def_index");
  if (left < 6) [[unlikely]] return fail("Truncated array count");

  const std::uint16_t elem_def = load_u16(c.at + 2);
  const std::size_t count = load_u16(c.at + 4);
  c.at += 6;
  const VelqType type = *elem_type;
  switch (type) {
    case VelqType::Null:
      return fixed_array<VelqType::Null>(c, self, elem_def, count, out, "");
    case VelqType::Bool:
      return fixed_array<VelqType::Bool>(c, self, elem_def, count, out, "Expected bool byte");
    case VelqType::Int32:
      return fixed_array<VelqType::Int32>(c, self, elem_def, count, out, "Expected int32 (4 bytes)");
    case VelqType::UInt32:
      return fixed_array<VelqType::UInt32>(c, self, elem_def, count, out, "Expected uint32 (4 bytes)");
    case VelqType::Float32:
      return fixed_array<VelqType::Float32>(c, self, elem_def, count, out, "Expected float32 (4 bytes)");
    case VelqType::String:
    case VelqType::Array:
    case VelqType::Object:
      break;
    default:
      // Only reachable with a definition list not produced by the decoder.
      if (count != 0) return fail(unknown_tag(static_cast<std::uint8_t>(type)));
      break;
  }

  // Storage for the items is reserved only for as many as the payload can hold.
  const std::size_t room = c.left();
  if (type == VelqType::String) {
    Slot items = sink_.begin_array(out, self, elem_def, count, std::min(count, room));
    for (std::size_t i = 0; i < count; ++i) {
      if (!string(c, items)) return false;
    }
    sink_.end_array(items);
  } else if (type == VelqType::Array) {
    Slot items = sink_.begin_array(out, self, elem_def, count, std::min(count, room / kMinArrayBytes));
    for (std::size_t i = 0; i < count; ++i) {
      if (!array(c, depth + 1, items)) return false;
    }
    sink_.end_array(items);
  } else {
    Slot items = sink_.begin_array(out, self, elem_def, count, std::min(count, room / kMinObjectBytes));
    for (std::size_t i = 0; i < count; ++i) {
      if (!object(c, depth + 1, items)) return false;
    }
    sink_.end_array(items);
  }
  return true;
}

// Fixed-width items are checked for room all at once: the message is the same whichever item
// would run short.
template <class Sink>
template <VelqType Type>
bool ValueReader<Sink>::fixed_array(Cursor& c, std::uint16_t self, std::uint16_t elem_def, std::size_t count,
                                    Slot out, const char* message) {
  constexpr std::size_t kWidth = Type == VelqType::Null ? 0 : Type == VelqType::Bool ? 1 : 4;
  if constexpr (kWidth != 0) {
    if (c.left() / kWidth < count) return fail(message);
  }
  const std::uint8_t* at = c.at;
  c.at += kWidth * count;
  sink_.template fixed_array<Type>(out, self, elem_def, at, count);
  return true;
}

template <class Sink>
bool ValueReader<Sink>::object(Cursor& c, std::size_t depth, Slot out) {
  if (depth > MAX_DEPTH) [[unlikely]] {
    return fail(compose_message("Max recursion depth ", MAX_DEPTH, " exceeded at Object"));
  }
  if (c.left() < 2) [[unlikely]] return fail("Truncated object self_def_index");
  const std::uint16_t self = load_u16(c.at);
  if (self >= definitions_.size()) [[unlikely]] return fail(compose_message("Unknown definition index: ", self));
  const std::optional<std::vector<VelqField>>& fields = definitions_[self].fields;
  if (!fields) [[unlikely]] return fail(compose_message("Object #", self, " has no fields"));

  c.at += 2;
  Slot values = sink_.begin_object(out, self, fields->size());
  for (const VelqField& field : *fields) {
    bool ok;
    if (field.type == VelqType::Object) {
      ok = this->object(c, depth + 1, values);
    } else if (field.type == VelqType::Array) {
      ok = array(c, depth + 1, values);
    } else {
      ok = primitive(c, field.type, values);
    }
    if (!ok) [[unlikely]] return false;
  }
  sink_.end_object(values);
  return true;
}

template <class Sink>
inline bool ValueReader<Sink>::primitive(Cursor& c, VelqType type, Slot out) {
  switch (type) {
    case VelqType::Null:
      sink_.null(out);
      return true;
    case VelqType::Bool:
      if (c.left() < 1) [[unlikely]] return fail("Expected bool byte");
      sink_.boolean(out, *c.at != 0);
      c.at += 1;
      return true;
    case VelqType::Int32:
      if (c.left() < 4) [[unlikely]] return fail("Expected int32 (4 bytes)");
      sink_.int32(out, static_cast<std::int32_t>(load_u32(c.at)));
      c.at += 4;
      return true;
    case VelqType::UInt32:
      if (c.left() < 4) [[unlikely]] return fail("Expected uint32 (4 bytes)");
      sink_.uint32(out, load_u32(c.at));
      c.at += 4;
      return true;
    case VelqType::Float32:
      if (c.left() < 4) [[unlikely]] return fail("Expected float32 (4 bytes)");
      sink_.float32(out, std::bit_cast<float>(load_u32(c.at)));
      c.at += 4;
      return true;
    case VelqType::String:
      return string(c, out);
    case VelqType::Array:
    case VelqType::Object:
      break;
  }
  // Compound values need definitions; this function reads only the primitive types.
  return fail(unknown_tag(static_cast<std::uint8_t>(type)));
}

template <class Sink>
bool ValueReader<Sink>::string(Cursor& c, Slot out) {
  const std::size_t left = c.left();
  if (left == 0) [[unlikely]] return fail("Expected string/StrRef byte");
  const std::uint8_t first = c.at[0];
  std::size_t header;
  std::size_t length;
  if (first < 0x80) {
    header = 1;
    length = first;
    if (left < header + length) [[unlikely]] {
      return fail(compose_message("Truncated short string: need ", header + length, " bytes, got ", left));
    }
  } else if (first < 0xFE) {
    // 0xC0 to 0xFD are read as medium too: bit 6 of the first byte is ignored in data values.
    if (left == 1) [[unlikely]] return fail("Truncated medium string length");
    header = 2;
    length = static_cast<std::size_t>(first & 0x3F) << 8 | c.at[1];
    if (left < header + length) [[unlikely]] {
      return fail(compose_message("Truncated medium string: need ", header + length, " bytes, got ", left));
    }
  } else if (first == 0xFE) {
    if (left < 4) [[unlikely]] return fail("Truncated long string length");
    header = 4;
    length = load_u24(c.at + 1);
    if (left < header + length) [[unlikely]] {
      return fail(compose_message("Truncated long string: need ", header + length, " bytes, got ", left));
    }
  } else {
    if (left < 5) [[unlikely]] return fail("Truncated StrRef dict index");
    sink_.str_ref(out, load_u32(c.at + 1));
    c.at += 5;
    return true;
  }
  const std::uint8_t* text = c.at + header;
  bool ascii;
  Utf8Fault fault;
  if (!check_utf8(text, length, ascii, fault)) [[unlikely]] return fail("Invalid UTF-8 string: " + describe(fault));
  sink_.string(out, text, length, ascii);
  c.at = text + length;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Documents.

// Reads an entry's top-level value by the kind of the entry's definition.
template <class Sink>
bool read_entry_value(ValueReader<Sink>& reader, Cursor& c, VelqType kind, typename Sink::Slot out) {
  if (kind == VelqType::Array) return reader.array(c, 1, out);
  if (kind == VelqType::Object) return reader.object(c, 1, out);
  return reader.primitive(c, kind, out);
}

// One decoding run over a whole input: header, then the three blocks in file order. The header,
// definitions and dictionary go into `document`; the values go to the sink.
template <class Sink>
class DocumentReader {
 public:
  DocumentReader(ByteSpan input, VelqDocument& document, Sink& sink)
      : input_(input), document_(document), sink_(sink) {}

  bool read();
  VelqError take_error() { return VelqError::parse(std::move(message_)); }

 private:
  bool header();
  bool definitions(const std::uint8_t* block, std::size_t size);
  bool fields(const std::uint8_t* block, std::size_t size, std::size_t& p, VelqDefinition& definition);
  bool dictionary(const std::uint8_t* block, std::size_t size);
  bool data(const std::uint8_t* block, std::size_t size);

  [[gnu::cold]] bool fail(std::string message) {
    message_ = std::move(message);
    return false;
  }

  ByteSpan input_;
  VelqDocument& document_;
  Sink& sink_;
  std::string message_;
};

template <class Sink>
bool DocumentReader<Sink>::read() {
  if (!header()) return false;
  const std::uint8_t* base = input_.data();
  const std::size_t defs_at = document_.def_block_offset;
  const std::size_t dict_at = document_.dict_block_offset;
  const std::size_t data_at = document_.data_block_offset;
  return definitions(base + defs_at, dict_at - defs_at) && dictionary(base + dict_at, data_at - dict_at) &&
         data(base + data_at, input_.size() - data_at);
}

template <class Sink>
bool DocumentReader<Sink>::header() {
  const std::size_t len = input_.size();
  if (len < HEADER_SIZE) return fail(compose_message("Header requires ", HEADER_SIZE, " bytes, got ", len));
  const std::uint8_t* base = input_.data();
  const std::uint8_t version = base[0];
  const std::uint32_t defs_at = load_u32(base + 1);
  const std::uint32_t dict_at = load_u32(base + 5);
  const std::uint32_t data_at = load_u32(base + 9);
  if (version != FORMAT_VERSION) return fail(compose_message("Unsupported VELQ version: ", version));
  if (defs_at < HEADER_SIZE) return fail(compose_message("Def block offset ", defs_at, " before header"));
  if (dict_at < defs_at) return fail(compose_message("Dict block offset ", dict_at, " before defs"));
  if (data_at < dict_at) return fail(compose_message("Data block offset ", data_at, " before dict"));
  if (data_at > len) return fail(compose_message("Data block offset ", data_at, " exceeds buffer length ", len));
  document_.version = version;
  document_.def_block_offset = defs_at;
  document_.dict_block_offset = dict_at;
  document_.data_block_offset = data_at;
  return true;
}

template <class Sink>
bool DocumentReader<Sink>::definitions(const std::uint8_t* block, std::size_t size) {
  if (size < 2) return fail(compose_message("Definition block too short: ", size, " bytes"));
  const std::size_t n = load_u16(block);
  if (n > MAX_DEFINITIONS) return fail(compose_message("Definition count ", n, " exceeds max ", MAX_DEFINITIONS));
  if (size < 3 * n + 2) {
    return fail(compose_message("Definition block has ", size, " bytes but ", n, " defs require ", 3 * n + 2));
  }
  std::vector<VelqDefinition>& definitions = document_.definitions;
  definitions.reserve(n);
  std::size_t p = 2;
  for (std::size_t i = 0; i < n; ++i) {
    if (p >= size) return fail(compose_message("Truncated definition block at entry ", i));
    const std::uint8_t kind = block[p];
    if (!is_type_byte(kind)) return fail(unknown_tag(kind));
    if (p + 3 > size) return fail("Truncated definition index");
    VelqDefinition& definition = definitions.emplace_back();
    definition.kind = static_cast<VelqType>(kind);
    definition.index = load_u16(block + p + 1);
    if (definition.kind == VelqType::Array) {
      if (p + 3 >= size) return fail("Truncated array elem_type");
      const std::uint8_t elem = block[p + 3];
      if (!is_type_byte(elem)) return fail(unknown_tag(elem));
      definition.elem_type = static_cast<VelqType>(elem);
      p += 4;
    } else if (definition.kind == VelqType::Object) {
      if (!fields(block, size, p, definition)) return false;
    } else {
      p += 3;
    }
  }
  return true;
}

template <class Sink>
bool DocumentReader<Sink>::fields(const std::uint8_t* block, std::size_t size, std::size_t& p,
                                  VelqDefinition& definition) {
  if (p + 5 > size) return fail("Truncated object field count");
  const std::size_t m = load_u16(block + p + 3);
  if (m > MAX_OBJECT_FIELDS) {
    return fail(compose_message("Object #", definition.index, " has ", m, " fields (max ", MAX_OBJECT_FIELDS, ")"));
  }
  std::vector<VelqField>& fields = definition.fields.emplace();
  fields.reserve(m);
  std::size_t q = p + 5;
  for (std::size_t j = 0; j < m; ++j) {
    if (q >= size) return fail(compose_message("Truncated field ", j, " name length"));
    const std::size_t name_len = block[q];
    // The name and the type byte after it must both lie inside the block.
    if (q + name_len + 1 >= size) return fail(compose_message("Truncated field ", j, " name data"));
    const std::uint8_t* name = block + q + 1;
    Utf8Fault fault;
    if (!check_utf8(name, name_len, fault)) return fail("Invalid UTF-8 in field name: " + describe(fault));
    const std::uint8_t type = block[q + name_len + 1];
    if (!is_type_byte(type)) return fail(unknown_tag(type));
    fields.push_back(
        {std::string(reinterpret_cast<const char*>(name), name_len), static_cast<VelqType>(type)});
    q += name_len + 2;
  }
  p = q;
  return true;
}

template <class Sink>
bool DocumentReader<Sink>::dictionary(const std::uint8_t* block, std::size_t size) {
  if (size == 0) return true;
  if (size < 4) return fail("Dict block too short for entry count");
  const std::size_t count = load_u32(block);
  std::vector<std::string>& dict = document_.dict;
  // The count is not bounded by the format, but every string takes at least one byte of the block.
  dict.reserve(std::min(count, size - 4));
  std::size_t p = 4;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t left = size - p;
    if (left == 0) return fail("Truncated dict string");
    const std::uint8_t first = block[p];
    if (first == 0xFF || (first >= 0xC0 && first <= 0xFD)) {
      return fail("Invalid dict string encoding byte: 0x" + hex_byte(first));
    }
    std::size_t header;
    std::size_t length;
    if (first < 0x80) {
      header = 1;
      length = first;
    } else if (first == 0xFE) {
      if (left < 4) return fail("Truncated long dict string");
      header = 4;
      length = load_u24(block + p + 1);
    } else {
      if (left == 1) return fail("Truncated medium dict string");
      header = 2;
      length = static_cast<std::size_t>(first & 0x3F) << 8 | block[p + 1];
    }
    if (left < header + length) return fail("Truncated dict string data");
    const std::uint8_t* text = block + p + header;
    Utf8Fault fault;
    if (!check_utf8(text, length, fault)) return fail("Invalid UTF-8 in dict: " + describe(fault));
    dict.emplace_back(reinterpret_cast<const char*>(text), length);
    p += header + length;
  }
  return true;
}

template <class Sink>
bool DocumentReader<Sink>::data(const std::uint8_t* block, std::size_t size) {
  if (size < 4) return fail(compose_message("Data block too short: ", size, " bytes"));
  const std::size_t count = load_u32(block);
  if (count > MAX_DATA_ENTRIES) {
    return fail(compose_message("Data entry count ", count, " exceeds max ", MAX_DATA_ENTRIES));
  }
  const std::vector<VelqDefinition>& definitions = document_.definitions;
  sink_.begin_entries(definitions, document_.dict, count, std::min(count, (size - 4) / kEntryHeaderBytes));
  ValueReader<Sink> reader(definitions, sink_);
  std::size_t p = 4;
  for (std::size_t i = 0; i < count; ++i) {
    if (size - p < kEntryHeaderBytes) return fail(compose_message("Truncated entry ", i, " header"));
    const std::uint16_t def_index = load_u16(block + p);
    const std::size_t payload = load_u32(block + p + 2);
    const std::uint8_t* value_at = block + p + kEntryHeaderBytes;
    if (size - p - kEntryHeaderBytes < payload) {
      return fail(compose_message("Entry ", i, " payload (", payload, " bytes) exceeds buffer"));
    }
    if (def_index >= definitions.size()) return fail(compose_message("Unknown definition index: ", def_index));

    Cursor c{value_at, value_at + payload};
    if (!read_entry_value(reader, c, definitions[def_index].kind, sink_.entry_slot())) {
      return fail(reader.take_message());
    }
    const std::size_t used = static_cast<std::size_t>(c.at - value_at);
    if (used != payload) return fail(compose_message("Mismatch entry ", i, ": consumed ", used, " of ", payload));
    sink_.end_entry(def_index);
    p += kEntryHeaderBytes + payload;
  }
  sink_.end_entries();
  return true;
}

// Runs one value reader over a whole span and reports the node with the bytes it took.
template <class Read>
Result<DecodedValue> read_value(ByteSpan bytes, const std::vector<VelqDefinition>& definitions, Read read) {
  std::vector<VelqChunk> no_chunks;
  TreeSink sink(no_chunks);
  ValueReader<TreeSink> reader(definitions, sink);
  Cursor c{bytes.data(), bytes.data() + bytes.size()};
  Nodes out;
  if (!read(reader, c, &out)) return VelqError::parse(reader.take_message());
  return DecodedValue{std::move(out.back()), static_cast<std::size_t>(c.at - bytes.data())};
}

}  // namespace

Result<VelqDocument> decode_document(ByteSpan input) {
  VelqDocument document;
  TreeSink sink(document.chunks);
  DocumentReader<TreeSink> reader(input, document, sink);
  if (!reader.read()) return reader.take_error();
  return document;
}

Status decode_document_to(ByteSpan input, DecodeSink& sink) {
  VelqDocument document;  // header, definitions and dictionary; the values go to the sink
  EventSink events(sink);
  DocumentReader<EventSink> reader(input, document, events);
  if (!reader.read()) return reader.take_error();
  return {};
}

Result<DecodedValue> decode_array_value(ByteSpan bytes, const std::vector<VelqDefinition>& definitions,
                                        std::size_t depth) {
  return read_value(bytes, definitions,
                    [depth](ValueReader<TreeSink>& r, Cursor& c, Nodes* out) { return r.array(c, depth, out); });
}

Result<DecodedValue> decode_object_value(ByteSpan bytes, const std::vector<VelqDefinition>& definitions,
                                         std::size_t depth) {
  return read_value(bytes, definitions,
                    [depth](ValueReader<TreeSink>& r, Cursor& c, Nodes* out) { return r.object(c, depth, out); });
}

Result<DecodedValue> decode_primitive_value(ByteSpan bytes, VelqType type) {
  const std::vector<VelqDefinition> no_definitions;
  return read_value(bytes, no_definitions,
                    [type](ValueReader<TreeSink>& r, Cursor& c, Nodes* out) { return r.primitive(c, type, out); });
}

Result<std::string> str_from_utf8(ByteSpan bytes) {
  Utf8Fault fault;
  if (!scan_utf8(bytes.data(), bytes.size(), fault)) {
    return VelqError::parse("Invalid UTF-8 string: " + describe(fault));
  }
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace velq
