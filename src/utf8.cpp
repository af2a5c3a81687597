#include "utf8.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "error.h"
#include "bytes.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELQ_UTF8_AVX2 1
#else
#define VELQ_UTF8_AVX2 0
#endif

namespace velq {
namespace {

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
    const std::uint64_t block = (load_le64(s + i) | load_le64(s + i + 8)) & kHighBits;
    high |= block;
    if ((block | state) == 0) continue;
    for (std::size_t k = 0; k < 16; ++k) state = utf8_step(state, s[i + k]);
  }
  // The last 0 to 15 bytes, tested for high bits with two overlapping loads where they fit.
  const std::size_t left = n - i;
  std::uint64_t tail = 0;
  if (left >= 8) {
    tail = (load_le64(s + i) | load_le64(s + n - 8)) & kHighBits;
  } else if (left >= 4) {
    tail = (load_le32(s + i) | load_le32(s + n - 4)) & 0x80808080U;
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

// Valid UTF-8 into two-byte code units, 16 bytes in view at a time: 16 ASCII bytes become 16 units,
// and four three-byte characters (lead bytes E0-EF at 0, 3, 6 and 9; validity puts two continuation
// bytes after each) become four units. Anything else takes one character by the scalar rule.
[[gnu::target("avx2")]] void transcode_to_ucs2_avx2(const std::uint8_t* text, std::size_t size,
                                                    std::uint16_t* out) {
  const std::uint8_t* end = text + size;
  // Each three-byte character into a 32-bit lane as [third, second, lead, 0].
  const __m128i spread = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
  const __m128i high_nibble = _mm_set1_epi8(static_cast<char>(0xF0));
  const __m128i three_byte_lead = _mm_set1_epi8(static_cast<char>(0xE0));
  const __m128i zero = _mm_setzero_si128();
  while (end - text >= 16) {
    const __m128i input = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    if (_mm_movemask_epi8(input) == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(input, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(input, zero));
      text += 16;
      out += 16;
      continue;
    }
    const int leads = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(input, high_nibble), three_byte_lead));
    if ((leads & 0x249) == 0x249) {
      const __m128i lanes = _mm_shuffle_epi8(input, spread);
      const __m128i low = _mm_and_si128(lanes, _mm_set1_epi32(0x3F));
      const __m128i middle = _mm_srli_epi32(_mm_and_si128(lanes, _mm_set1_epi32(0x3F00)), 2);
      const __m128i top = _mm_srli_epi32(_mm_and_si128(lanes, _mm_set1_epi32(0x0F0000)), 4);
      const __m128i units = _mm_or_si128(low, _mm_or_si128(middle, top));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi32(units, units));
      text += 12;
      out += 4;
      continue;
    }
    *out++ = static_cast<std::uint16_t>(take_utf8_character<std::uint16_t>(text));
  }
  transcode_utf8_each(text, static_cast<std::size_t>(end - text), out);
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

}  // namespace

std::string describe_utf8_fault(const Utf8Fault& fault) {
  if (fault.length == 0) return compose_message("incomplete utf-8 byte sequence from index ", fault.index);
  return compose_message("invalid utf-8 sequence of ", fault.length, " bytes from index ", fault.index);
}

// The exact scan: ASCII runs are skipped eight bytes at a time.
bool scan_utf8(const std::uint8_t* s, std::size_t n, Utf8Fault& fault) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::size_t i = 0;
  while (i < n) {
    if (n - i >= 8) {
      const std::uint64_t high = load_le64(s + i) & kHighBits;
      if (high == 0) {
        i += 8;
        continue;
      }
      i += static_cast<std::size_t>(std::countr_zero(high)) / 8;
    } else if (n >= 8) {
      // Less than a word is left: load the last word and drop the 1 to 7 bytes already checked.
      const std::size_t checked = i - (n - 8);
      const std::uint64_t high = (load_le64(s + n - 8) & kHighBits) >> (8 * checked);
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

// The fast check first; the exact scan only to describe a fault.
bool check_utf8_text(const std::uint8_t* s, std::size_t n, bool& ascii, Utf8Fault& fault) {
#if VELQ_UTF8_AVX2
  if (n >= kUtf8VectorMinimum && has_avx2()) {
    if (utf8_valid_avx2(s, n, ascii)) [[likely]] return true;
    return scan_utf8(s, n, fault);
  }
#endif
  if (utf8_valid(s, n, ascii)) [[likely]] return true;
  return scan_utf8(s, n, fault);
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  char bytes[4];
  std::size_t length;
  if (code_point < 0x80) {
    bytes[0] = static_cast<char>(code_point);
    length = 1;
  } else if (code_point < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code_point >> 6));
    bytes[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    length = 2;
  } else if (code_point < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code_point >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    length = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (code_point >> 18));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    length = 4;
  }
  out.append(bytes, length);
}

void transcode_utf8_to_ucs2(const std::uint8_t* text, std::size_t size, std::uint16_t* out) {
#if VELQ_UTF8_AVX2
  if (size >= 16 && has_avx2()) return transcode_to_ucs2_avx2(text, size, out);
#endif
  transcode_utf8_each(text, size, out);
}

void measure_utf8(const std::uint8_t* text, std::size_t size, std::uint8_t& top, std::size_t& continuations) {
#if VELQ_UTF8_AVX2  // x86-64, where SSE2 is always there
  if (size >= 16) {
    const __m128i continuation_bits = _mm_set1_epi8(static_cast<char>(0xC0));
    const __m128i continuation = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i ones = _mm_set1_epi8(1);
    const __m128i zero = _mm_setzero_si128();
    __m128i tops = zero;
    __m128i counts = zero;  // two 64-bit sums
    auto take = [&](__m128i bytes, __m128i counted) {
      tops = _mm_max_epu8(tops, bytes);
      const __m128i flags = _mm_cmpeq_epi8(_mm_and_si128(bytes, continuation_bits), continuation);
      counts = _mm_add_epi64(counts, _mm_sad_epu8(_mm_and_si128(_mm_and_si128(flags, counted), ones), zero));
    };
    const __m128i all = _mm_set1_epi8(-1);
    std::size_t i = 0;
    for (; size - i >= 16; i += 16) take(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i)), all);
    if (i < size) {
      // The last 16 bytes again, counting only the ones not seen yet (the last size - i).
      alignas(16) static constexpr std::uint8_t kNewBytes[32] = {
          0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
      take(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + size - 16)),
           _mm_loadu_si128(reinterpret_cast<const __m128i*>(kNewBytes + (size - i))));
    }
    tops = _mm_max_epu8(tops, _mm_srli_si128(tops, 8));
    tops = _mm_max_epu8(tops, _mm_srli_si128(tops, 4));
    tops = _mm_max_epu8(tops, _mm_srli_si128(tops, 2));
    tops = _mm_max_epu8(tops, _mm_srli_si128(tops, 1));
    top = static_cast<std::uint8_t>(_mm_cvtsi128_si32(tops));
    continuations = static_cast<std::size_t>(_mm_cvtsi128_si64(counts)) +
                    static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(counts, counts)));
    return;
  }
#endif
  top = 0;
  continuations = 0;
  for (std::size_t i = 0; i < size; ++i) {
    top = std::max(top, text[i]);
    continuations += (text[i] & 0xC0) == 0x80;
  }
}

}  // namespace velq
