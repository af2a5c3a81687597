#include "json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <boost/container/small_vector.hpp>
#include <fast_float/fast_float.h>

#include "bytes.h"
#include "pages.h"
#include "scan.h"
#include "utf8.h"

namespace velq {

static_assert(std::is_trivially_copyable_v<JsonValue> && std::is_trivially_copyable_v<JsonMember>,
              "arena copies and scratch stacks move nodes as plain bytes");

// ---------------------------------------------------------------------------
// Arena

static_assert(alignof(JsonValue) <= 8 && alignof(JsonMember) <= 8);

JsonArena::~JsonArena() {
  while (blocks_ != nullptr) {
    Block* previous = blocks_->previous;
    std::free(blocks_);
    blocks_ = previous;
  }
}

// A block of at least `bytes` usable bytes, linked for release.
char* JsonArena::new_block(std::size_t bytes) {
  constexpr std::size_t kHeader = (sizeof(Block) + kAlignment - 1) & ~(kAlignment - 1);
  auto* block = static_cast<Block*>(std::malloc(kHeader + bytes));
  if (block == nullptr) throw std::bad_alloc();
  block->previous = blocks_;
  blocks_ = block;
  return reinterpret_cast<char*>(block) + kHeader;
}

void* JsonArena::allocate_elsewhere(std::size_t bytes) {
  if (bytes > next_block_ / 4) {
    // A large request gets a block of its own; the current block stays in use.
    return new_block(bytes);
  }
  char* block = new_block(next_block_);
  cursor_ = block + bytes;
  limit_ = block + next_block_;
  next_block_ = std::min(next_block_ * 2, kLargestBlock);
  return block;
}

JsonMember* JsonArena::new_members(std::size_t count) {
  auto* members = static_cast<JsonMember*>(allocate(count * sizeof(JsonMember)));
  std::uninitialized_default_construct_n(members, count);
  return members;
}

std::string_view JsonArena::copy_string(std::string_view text) {
  if (text.empty()) return {};
  if (!texts_) texts_ = std::make_unique<JsonArena>();
  // Texts need no alignment, but a few bytes between them cost nothing.
  char* chars = static_cast<char*>(texts_->allocate(text.size()));
  std::memcpy(chars, text.data(), text.size());
  return {chars, text.size()};
}

void JsonArena::release_to(const Mark& mark) {
  while (blocks_ != mark.blocks) {
    Block* previous = blocks_->previous;
    std::free(blocks_);
    blocks_ = previous;
  }
  cursor_ = mark.cursor;
  limit_ = mark.limit;
  next_block_ = mark.next_block;
}

// ---------------------------------------------------------------------------
// Member ordering

namespace {

// The first eight bytes of a key as a big-endian number, zero-padded: keys
// whose prefixes differ compare like their prefixes. Short keys are read with
// two overlapping loads, never past their end. Inlined where every object
// takes it (keys_ascending); called where a few do (the sorts), which the
// compiler otherwise decides by the size of the whole file.
[[gnu::always_inline]] inline std::uint64_t key_prefix_inline(std::string_view key) {
  const char* s = key.data();
  const std::size_t n = key.size();
  if constexpr (std::endian::native != std::endian::little) {
    std::uint64_t prefix = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(n, 8); ++i) {
      prefix |= std::uint64_t{static_cast<unsigned char>(s[i])} << (56 - 8 * i);
    }
    return prefix;
  }
  std::uint64_t bytes = 0;  // first byte lowest
  if (n >= 8) {
    std::memcpy(&bytes, s, 8);
  } else if (n >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, s, 4);
    std::memcpy(&tail, s + n - 4, 4);
    bytes = head | (std::uint64_t{tail} << (8 * (n - 4)));
  } else if (n >= 2) {
    std::uint16_t head, tail;
    std::memcpy(&head, s, 2);
    std::memcpy(&tail, s + n - 2, 2);
    bytes = head | (std::uint64_t{tail} << (8 * (n - 2)));
  } else if (n == 1) {
    bytes = static_cast<unsigned char>(s[0]);
  }
  return __builtin_bswap64(bytes);
}

std::uint64_t key_prefix(std::string_view key) { return key_prefix_inline(key); }

struct KeyOrder {
  std::uint64_t prefix;
  std::size_t index;  // position among the members, which breaks ties between equal keys
};

[[gnu::always_inline]] inline bool key_less(std::uint64_t prefix_a, std::string_view a, std::uint64_t prefix_b,
                                            std::string_view b) {
  if (prefix_a != prefix_b) return prefix_a < prefix_b;
  // string_view's own comparison, written out: the compiler does not always inline it in parse_object.
  const int by_bytes = std::char_traits<char>::compare(a.data(), b.data(), std::min(a.size(), b.size()));
  return by_bytes != 0 ? by_bytes < 0 : a.size() < b.size();
}

// Objects in real documents are mostly written in key order already.
[[gnu::always_inline]] inline bool keys_ascending(const JsonMember* members, std::size_t count) {
  if (count < 2) return true;
  std::uint64_t previous = key_prefix_inline(members[0].key);
  for (std::size_t i = 1; i < count; ++i) {
    std::uint64_t current = key_prefix_inline(members[i].key);
    if (!key_less(previous, members[i - 1].key, current, members[i].key)) return false;
    previous = current;
  }
  return true;
}

// Fills `order` with the members to keep, in key order: of equal keys only
// the one that came last.
template <class Order>
void sort_key_order(const JsonMember* members, std::size_t count, Order& order) {
  order.resize(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = {key_prefix(members[i].key), i};
  std::sort(order.begin(), order.end(), [members](const KeyOrder& a, const KeyOrder& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    int by_key = members[a.index].key.compare(members[b.index].key);
    return by_key != 0 ? by_key < 0 : a.index < b.index;
  });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    bool overridden = i + 1 < count && order[i].prefix == order[i + 1].prefix &&
                      members[order[i].index].key == members[order[i + 1].index].key;
    if (!overridden) order[kept++] = order[i];
  }
  order.resize(kept);
}

}  // namespace

std::size_t sort_members(JsonMember* members, std::size_t count) {
  if (keys_ascending(members, count)) return count;
  std::vector<KeyOrder> order;
  sort_key_order(members, count, order);
  std::vector<JsonMember> sorted;
  sorted.reserve(order.size());
  for (const KeyOrder& entry : order) sorted.push_back(members[entry.index]);
  std::copy(sorted.begin(), sorted.end(), members);
  return sorted.size();
}

// ---------------------------------------------------------------------------
// Parser

namespace {

enum class ParseFailure : std::uint8_t {
  EofWhileParsingValue,
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  ExpectedValue,
  ExpectedIdent,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  KeyMustBeAString,
  TrailingComma,
  TrailingCharacters,
  InvalidNumber,
  NumberOutOfRange,
  InvalidEscape,
  ControlCharacterInString,
  LoneLeadingSurrogate,
  UnexpectedEndOfHexEscape,
  RecursionLimitExceeded,
  Interrupted,  // by the SignalCheck; no message of its own
};

const char* describe(ParseFailure failure) {
  switch (failure) {
    case ParseFailure::EofWhileParsingValue: return "EOF while parsing a value";
    case ParseFailure::EofWhileParsingList: return "EOF while parsing a list";
    case ParseFailure::EofWhileParsingObject: return "EOF while parsing an object";
    case ParseFailure::EofWhileParsingString: return "EOF while parsing a string";
    case ParseFailure::ExpectedValue: return "expected value";
    case ParseFailure::ExpectedIdent: return "expected ident";
    case ParseFailure::ExpectedColon: return "expected `:`";
    case ParseFailure::ExpectedListCommaOrEnd: return "expected `,` or `]`";
    case ParseFailure::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case ParseFailure::KeyMustBeAString: return "key must be a string";
    case ParseFailure::TrailingComma: return "trailing comma";
    case ParseFailure::TrailingCharacters: return "trailing characters";
    case ParseFailure::InvalidNumber: return "invalid number";
    case ParseFailure::NumberOutOfRange: return "number out of range";
    case ParseFailure::InvalidEscape: return "invalid escape";
    case ParseFailure::ControlCharacterInString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case ParseFailure::LoneLeadingSurrogate: return "lone leading surrogate in hex escape";
    case ParseFailure::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case ParseFailure::RecursionLimitExceeded: return "recursion limit exceeded";
    case ParseFailure::Interrupted: return "interrupted";
  }
  return "invalid JSON";
}

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// A decimal is read as its digits, one integer, times a power of ten. Nineteen digits always fit
// in 64 bits, so while a number has no more, that pair holds its value exactly and is converted
// without reading the text again.
constexpr std::size_t kHeldDigits = 19;
constexpr std::uint64_t kPowersOfTen[kHeldDigits + 1] = {
    1,
    10,
    100,
    1000,
    10000,
    100000,
    1000000,
    10000000,
    100000000,
    1000000000,
    10000000000,
    100000000000,
    1000000000000,
    10000000000000,
    100000000000000,
    1000000000000000,
    10000000000000000,
    100000000000000000,
    1000000000000000000,
    10000000000000000000U};
// Digits within 2^53 with a power of ten within 10^-22 to 10^22 are the quotient or product of two
// exact doubles, so one division or multiplication rounds correctly.
constexpr std::uint64_t kExactDigitsMax = std::uint64_t{1} << 53;
constexpr std::int64_t kExactPowersOfTen = 22;

// Eight ASCII digits in a little-endian word, tested and read without a loop: a byte is a digit when
// adding 0x46 leaves its high bit clear and subtracting 0x30 does too; then pairs, fours and the
// eight are combined by multiplications.
//
// The high bit of each byte that is no digit. Carries and borrows run upwards only, and a digit
// passes none on, so the lowest flagged byte is exactly the first one that is no digit.
inline std::uint64_t other_than_digits(std::uint64_t word) {
  return ((word + 0x4646464646464646) | (word - 0x3030303030303030)) & 0x8080808080808080;
}

inline std::uint64_t eight_digits_value(std::uint64_t word) {
  constexpr std::uint64_t kMask = 0x000000FF000000FF;
  constexpr std::uint64_t kHundredsAndMillions = 100 + (1000000ULL << 32);
  constexpr std::uint64_t kOnesAndTenThousands = 1 + (10000ULL << 32);
  word -= 0x3030303030303030;
  word = word * 10 + (word >> 8);  // each byte pair as a two-digit number in its low byte
  return (((word & kMask) * kHundredsAndMillions) + (((word >> 16) & kMask) * kOnesAndTenThousands)) >> 32;
}

inline double exact_decimal(std::uint64_t digits, std::int64_t scale) {
  static constexpr double kPowers[kExactPowersOfTen + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const double value = static_cast<double>(digits);
  return scale < 0 ? value / kPowers[-scale] : value * kPowers[scale];
}

inline bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// A byte that ends a run of plain string content.
inline bool is_string_stop(char c) {
  return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
}

// The scalar road: eight bytes at a time in a general-purpose register, then
// byte by byte.
struct WordScan {
  // First byte at or after p that is '"', '\\' or a control byte; `end` when there is none.
  static const char* string_stop(const char* p, const char* end) {
    if constexpr (std::endian::native == std::endian::little) {
      // The lowest flagged byte of each test is exact, so the lowest flagged
      // byte of their union is the first stop byte.
      constexpr std::uint64_t kOnes = 0x0101010101010101;
      constexpr std::uint64_t kHighs = 0x8080808080808080;
      while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        std::uint64_t quote_bytes = word ^ (kOnes * '"');
        std::uint64_t backslash_bytes = word ^ (kOnes * '\\');
        std::uint64_t hits = ((quote_bytes - kOnes) & ~quote_bytes) |
                             ((backslash_bytes - kOnes) & ~backslash_bytes) | ((word - kOnes * 0x20) & ~word);
        hits &= kHighs;
        if (hits) return p + std::countr_zero(hits) / 8;
        p += 8;
      }
    }
    while (p != end && !is_string_stop(*p)) ++p;
    return p;
  }

  // First byte at or after p that is not whitespace; `end` when there is none.
  static const char* space_end(const char* p, const char* end) {
    while (p != end && is_space(*p)) ++p;
    return p;
  }
};

#if defined(__SSE2__) || (defined(__aarch64__) && defined(__ARM_NEON))

// The vector road: sixteen bytes at a time (SSE2 on x86-64, NEON on
// aarch64), and runs that go on past the first sixteen bytes handed to the
// AVX2 scans where the road is AVX2's.
struct VectorScan {
#if defined(__SSE2__)
  using Mask = std::uint32_t;
  static constexpr int kBitsPerByte = 1;
  static Mask string_stops(const char* p) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Flipping bit 1 turns '"' (0x22) into 0x20, keeps the control bytes below
    // it and every other byte above: one unsigned compare finds them all.
    const __m128i flipped = _mm_xor_si128(bytes, _mm_set1_epi8(0x02));
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i quote_or_control = _mm_cmpeq_epi8(_mm_max_epu8(flipped, space), space);
    const __m128i hits = _mm_or_si128(quote_or_control, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\')));
    return static_cast<Mask>(_mm_movemask_epi8(hits));
  }
  static Mask other_than_space(const char* p) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i space = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))),
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'))));
    return static_cast<Mask>(_mm_movemask_epi8(space)) ^ 0xFFFFu;
  }
  static Mask other_than_blank(const char* p) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return static_cast<Mask>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')))) ^ 0xFFFFu;
  }
#else
  // NEON has no byte mask: narrowing each 16-bit lane by four bits leaves
  // four bits per byte in one 64-bit word.
  using Mask = std::uint64_t;
  static constexpr int kBitsPerByte = 4;
  static Mask to_mask(uint8x16_t flags) {
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(flags), 4)), 0);
  }
  static Mask string_stops(const char* p) {
    const uint8x16_t bytes = vld1q_u8(reinterpret_cast<const std::uint8_t*>(p));
    // As on SSE2: '"' with bit 1 flipped is 0x20, and the control bytes stay below it.
    const uint8x16_t quote_or_control = vcleq_u8(veorq_u8(bytes, vdupq_n_u8(0x02)), vdupq_n_u8(0x20));
    const uint8x16_t hits = vorrq_u8(quote_or_control, vceqq_u8(bytes, vdupq_n_u8('\\')));
    return to_mask(hits);
  }
  static Mask other_than_space(const char* p) {
    const uint8x16_t bytes = vld1q_u8(reinterpret_cast<const std::uint8_t*>(p));
    const uint8x16_t space = vorrq_u8(vorrq_u8(vceqq_u8(bytes, vdupq_n_u8(' ')), vceqq_u8(bytes, vdupq_n_u8('\n'))),
                                      vorrq_u8(vceqq_u8(bytes, vdupq_n_u8('\r')), vceqq_u8(bytes, vdupq_n_u8('\t'))));
    return ~to_mask(space);
  }
  static Mask other_than_blank(const char* p) {
    const uint8x16_t bytes = vld1q_u8(reinterpret_cast<const std::uint8_t*>(p));
    return ~to_mask(vceqq_u8(bytes, vdupq_n_u8(' ')));
  }
#endif

  static const char* first_flagged(const char* p, Mask mask) { return p + std::countr_zero(mask) / kBitsPerByte; }

  // The first block inline, where most strings and whitespace runs end; the
  // rest of a longer run out of line. Within sixteen bytes of the end, the
  // text's last block, its bytes before p shifted out: this road parses
  // texts of sixteen bytes or more only (see parse_json), and reads nothing
  // past their end.
  [[gnu::always_inline]] static const char* string_stop(const char* p, const char* end) {
    if (end - p < 16) return string_stop_near_end(p, end);
    if (Mask mask = string_stops(p)) return first_flagged(p, mask);
    return long_string_stop(p + 16, end);
  }

  // Indentation is mostly spaces up to a token: the first block is looked at
  // for spaces alone, one compare per byte, and a tab or line break found
  // there sends the run on to the full test.
  [[gnu::always_inline]] static const char* space_end(const char* p, const char* end) {
    if (end - p < 16) return space_end_near_end(p, end);
    if (Mask mask = other_than_blank(p)) return blank_run_end(p, end, mask);
    return long_space_end(p + 16, end);
  }

  // The end of a run of whitespace at p, whose next sixteen bytes are not all
  // spaces: `mask` flags those that are not.
  [[gnu::always_inline]] static const char* blank_run_end(const char* p, const char* end, Mask mask) {
    const char* stop = first_flagged(p, mask);
    if (static_cast<unsigned char>(*stop) > ' ') return stop;
    return mixed_space_end(stop, end);
  }

  // A run with a tab, a line break or a carriage return in it, from that byte
  // on (or a control byte that ends it): all four whitespace bytes tested.
  [[gnu::noinline]] static const char* mixed_space_end(const char* p, const char* end) {
    if (end - p < 16) return space_end_near_end(p, end);
    if (Mask mask = other_than_space(p)) return first_flagged(p, mask);
    return long_space_end(p + 16, end);
  }

  [[gnu::noinline]] static const char* string_stop_near_end(const char* p, const char* end) {
    return first_flagged_or_end(p, end, string_stops(end - 16));
  }

  [[gnu::noinline]] static const char* space_end_near_end(const char* p, const char* end) {
    return first_flagged_or_end(p, end, other_than_space(end - 16));
  }

  // The first flagged byte at or after p of the block that ends at `end`.
  static const char* first_flagged_or_end(const char* p, const char* end, Mask last_block) {
    if (p == end) return end;
    const Mask mask = last_block >> ((16 - (end - p)) * kBitsPerByte);
    return mask != 0 ? first_flagged(p, mask) : end;
  }

  [[gnu::noinline]] static const char* long_string_stop(const char* p, const char* end) {
    // The second block too before the AVX2 scan: many strings (addresses,
    // identifiers, dates) end there, and the scan costs a call.
    if (end - p >= 16) {
      if (Mask mask = string_stops(p)) return first_flagged(p, mask);
      p += 16;
    }
    if (scan_detail::long_runs_on_avx2 && end - p >= 32) return scan_detail::avx2_string_stop(p, end);
    for (; end - p >= 16; p += 16) {
      if (Mask mask = string_stops(p)) return first_flagged(p, mask);
    }
    return WordScan::string_stop(p, end);
  }

  [[gnu::noinline]] static const char* long_space_end(const char* p, const char* end) {
    // The second block too, as for strings: deep indentation ends there.
    if (end - p >= 16) {
      if (Mask mask = other_than_blank(p)) return blank_run_end(p, end, mask);
      p += 16;
    }
    if (scan_detail::long_runs_on_avx2 && end - p >= 32) return scan_detail::avx2_space_end(p, end);
    for (; end - p >= 16; p += 16) {
      if (Mask mask = other_than_space(p)) return first_flagged(p, mask);
    }
    return WordScan::space_end(p, end);
  }
};

#else
using VectorScan = WordScan;
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#define VELQ_BLOCK_SCAN 1

// The road for texts of 512 bytes or more on CPUs with AVX2. Parsing one
// token at a time, each string end and each run of indentation found by a
// vector test of its own is a chain of dependent steps (load, compare, mask,
// count) that the next token waits for. Here 64 bytes are tested at once,
// their stop bytes and their bytes other than whitespace held as two bit
// masks, and a token within them is found by a shift and a count. Blocks
// start where a token was not within the last one; runs longer than a block
// go on as VectorScan's do.
struct BlockScan {
  std::uintptr_t base = 0;  // the block [base, base + 64) that the masks describe
  std::uint64_t stops = 0;  // '"', '\\' or a control byte, and every byte past the text's end
  std::uint64_t others = 0;  // not whitespace, and every byte past the text's end

  [[gnu::always_inline]] const char* string_stop(const char* p, const char* end) {
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(p) - base;
    if (offset < 64) {
      if (const std::uint64_t mask = stops >> offset) return p + std::countr_zero(mask);
    }
    return string_stop_past_block(p, end);
  }

  [[gnu::always_inline]] const char* space_end(const char* p, const char* end) {
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(p) - base;
    if (offset < 64) {
      if (const std::uint64_t mask = others >> offset) return p + std::countr_zero(mask);
    }
    return space_end_past_block(p, end);
  }

  [[gnu::noinline, gnu::target("avx2")]] const char* string_stop_past_block(const char* p, const char* end) {
    load(p, end);
    if (stops != 0) return p + std::countr_zero(stops);
    return VectorScan::long_string_stop(p + 64, end);
  }

  [[gnu::noinline, gnu::target("avx2")]] const char* space_end_past_block(const char* p, const char* end) {
    load(p, end);
    if (others != 0) return p + std::countr_zero(others);
    return VectorScan::long_space_end(p + 64, end);
  }

  // The masks of the block at p. Within 64 bytes of the end, its bytes are
  // copied, with quotes after them: each scan then stops at `end`.
  [[gnu::target("avx2")]] void load(const char* p, const char* end) {
    alignas(32) char tail[64];
    const char* at = p;
    if (end - p < 64) {
      std::memset(tail, '"', sizeof tail);
      std::memcpy(tail, p, static_cast<std::size_t>(end - p));
      at = tail;
    }
    std::uint64_t low_others, high_others;
    const std::uint64_t low_stops = half_masks(at, low_others);
    const std::uint64_t high_stops = half_masks(at + 32, high_others);
    stops = low_stops | high_stops << 32;
    others = low_others | high_others << 32;
    base = reinterpret_cast<std::uintptr_t>(p);
  }

  // The stop bytes of the 32 at p, and (in `other`) those that are not whitespace.
  [[gnu::target("avx2")]] static std::uint64_t half_masks(const char* p, std::uint64_t& other) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    // As in the sixteen-byte scan: '"' with bit 1 flipped is 0x20, the control bytes stay below it.
    const __m256i space = _mm256_set1_epi8(0x20);
    const __m256i flipped = _mm256_xor_si256(bytes, _mm256_set1_epi8(0x02));
    const __m256i quote_or_control = _mm256_cmpeq_epi8(_mm256_max_epu8(flipped, space), space);
    const __m256i hits = _mm256_or_si256(quote_or_control, _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\\')));
    other = static_cast<std::uint32_t>(~_mm256_movemask_epi8(whitespace_bytes(bytes)));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(hits));
  }

  // Whitespace by a table of sixteen: a byte's low four bits pick the one
  // whitespace byte it could be (none: -1, which no byte looked up equals,
  // since a byte with its top bit set looks up 0).
  [[gnu::target("avx2")]] static __m256i whitespace_bytes(__m256i bytes) {
    const __m256i table = _mm256_setr_epi8(' ', -1, -1, -1, -1, -1, -1, -1, -1, '\t', '\n', -1, -1, '\r', -1, -1,
                                           ' ', -1, -1, -1, -1, -1, -1, -1, -1, '\t', '\n', -1, -1, '\r', -1, -1);
    return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, bytes), bytes);
  }
};
#endif

// Whitespace runs are one byte after a colon or comma, and a line break with
// its indentation before a member or item: one byte alone, then the road's scan.
// A second byte above ' ' ends the run; any other goes to the scan, which
// tells whitespace from a stray control byte.
template <class Scan>
const char* skip_space_run(Scan& scan, const char* p, const char* end) {
  if (p == end || !is_space(*p)) return p;
  if (++p == end || static_cast<unsigned char>(*p) > ' ') return p;
  return scan.space_end(p, end);
}

template <class Scan>
inline const char* skip_space(Scan& scan, const char* p, const char* end) {
  if (p != end && static_cast<unsigned char>(*p) > ' ') return p;  // compact text
  return skip_space_run(scan, p, end);
}

// Around a colon, most texts put one space or none: both without a call.
template <class Scan>
inline const char* skip_space_by_colon(Scan& scan, const char* p, const char* end) {
  if (p != end && static_cast<unsigned char>(*p) > ' ') return p;
  if (end - p >= 2 && *p == ' ' && static_cast<unsigned char>(p[1]) > ' ') return p + 1;
  return skip_space_run(scan, p, end);
}

// Between a key and its value, texts write ":", ": " or " : ": each is
// told by one look at four bytes, and the value's first byte found past it.
// nullptr for anything else (other whitespace, the end near, a fault), which
// the general road then takes byte by byte.
inline const char* past_usual_colon(const char* p, const char* end) {
  if (end - p < 4) return nullptr;
  const std::uint32_t bytes = load_le32(p);  // first byte lowest
  auto byte = [bytes](int i) { return bytes >> (8 * i) & 0xFF; };
  if (byte(0) == ':') {
    if (byte(1) > ' ') return p + 1;
    return byte(1) == ' ' && byte(2) > ' ' ? p + 2 : nullptr;
  }
  constexpr std::uint32_t kSpacedColon = ' ' | ':' << 8 | ' ' << 16;
  return (bytes & 0xFFFFFF) == kSpacedColon && byte(3) > ' ' ? p + 3 : nullptr;
}

constexpr std::array<std::int8_t, 256> kHexDigitValues = [] {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  for (int c = '0'; c <= '9'; ++c) values[c] = static_cast<std::int8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) values[c] = static_cast<std::int8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) values[c] = static_cast<std::int8_t>(c - 'A' + 10);
  return values;
}();

// The byte each one-letter escape stands for; 0 for letters that are no escape.
constexpr std::array<char, 256> kSimpleEscapes = [] {
  std::array<char, 256> bytes{};
  bytes['"'] = '"';
  bytes['\\'] = '\\';
  bytes['/'] = '/';
  bytes['b'] = '\b';
  bytes['f'] = '\f';
  bytes['n'] = '\n';
  bytes['r'] = '\r';
  bytes['t'] = '\t';
  return bytes;
}();

bool is_leading_surrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_trailing_surrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// For a number text that a conversion found out of range (so it has a
// nonzero digit): whether it is at least 1 in magnitude, i.e. too large rather
// than too small. The exponent is known to fit in 32 bits.
bool magnitude_at_least_one(const char* p, const char* end) {
  if (*p == '-') ++p;
  std::int64_t integer_digits = 0;
  std::int64_t leading_power = 0;  // power of ten of the first nonzero digit
  bool found = false;
  for (; p != end && is_digit(*p); ++p, ++integer_digits) {
    if (!found && *p != '0') {
      found = true;
      leading_power = -integer_digits;  // completed once the digit count is known
    }
  }
  if (found) leading_power += integer_digits - 1;
  if (p != end && *p == '.') {
    std::int64_t position = 0;
    for (++p; p != end && is_digit(*p); ++p) {
      --position;
      if (!found && *p != '0') {
        found = true;
        leading_power = position;
      }
    }
  }
  if (!found) return false;
  std::int64_t exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    for (; p != end && is_digit(*p); ++p) exponent = exponent * 10 + (*p - '0');
    if (negative) exponent = -exponent;
  }
  return leading_power + exponent >= 0;
}

// Recursive descent over the text with positions as plain pointers: every
// step takes the position where it starts and returns the one after what it
// consumed, or nullptr after recording a failure. Recursion is bounded by the
// nesting limit. `Scan` is the road that finds the ends of strings and of
// whitespace runs.
template <class Scan>
class Parser {
 public:
  Parser(std::string_view text, JsonArena& arena, SignalCheck check, JsonItemSink* root_items, TextPages* pages)
      : begin_(text.data()),
        end_(text.data() + text.size()),
        arena_(arena),
        signals_(check),
        root_items_(root_items),
        pages_(pages) {}

  bool parse_document(JsonValue& root) {
    const char* p = skip_space(scan_, begin_, end_);
    p = root_items_ != nullptr && p != end_ && *p == '[' ? parse_root_items(p, root) : parse_value(p, root);
    if (p == nullptr) return false;
    p = skip_space(scan_, p, end_);
    if (p == end_) return true;
    fail(ParseFailure::TrailingCharacters, p);
    return false;
  }

  VelqError error() const;
  const JsonCounts& counts() const { return counts_; }

 private:
  // p is where the value should start, whitespace skipped. Inlined into the
  // loops over items and members, which call it for most values.
  [[gnu::always_inline]] inline const char* parse_value(const char* p, JsonValue& out);
  [[gnu::always_inline]] inline const char* parse_literal(const char* p, std::string_view word);
  [[gnu::cold, gnu::noinline]] const char* misspelled_literal(const char* p, std::string_view word);
  const char* parse_array(const char* p, JsonValue& out);
  const char* parse_root_items(const char* p, JsonValue& out);
  [[gnu::noinline]] bool hand_over_items(const char* at, std::size_t& count);
  void give_back_text_before(const char* p);
  [[gnu::always_inline]] inline const char* after_item(const char* p, bool& closed);
  const char* parse_object(const char* p, JsonValue& out);
  [[gnu::always_inline]] inline const char* parse_string(const char* p, std::string_view& out);
  const char* parse_escaped_string(const char* start, const char* p, std::string_view& out);
  const char* parse_unicode_escape(const char* p);
  const char* read_hex_escape(const char* p, std::uint32_t& unit);
  // Out of line: inlined, it made parse_object's common road longer.
  [[gnu::noinline]] std::span<const KeyOrder> key_order(const JsonMember* members, std::size_t count);
  const char* parse_number(const char* p, JsonValue& out);
  const char* parse_fraction_and_exponent(const char* start, const char* p, bool negative, std::uint64_t digits,
                                          bool held, JsonValue& out);
  const char* read_fraction(const char* p, std::uint64_t& digits, bool& held, std::int64_t& scale) const;
  const char* skip_digits(const char* p) const;
  // The rarer roads (digits beyond 2^53, powers of ten beyond 10^±22), kept out of
  // parse_number so that the common one stays small enough to inline.
  [[gnu::noinline]] const char* convert_double(const char* start, const char* end, bool negative, JsonValue& out);
  [[gnu::noinline]] const char* convert_long_decimal(const char* start, const char* end, bool negative,
                                                     std::uint64_t digits, std::int64_t scale, JsonValue& out);
  [[gnu::always_inline]] inline const char* convert_double(const char* start, const char* end, bool negative,
                                                   std::uint64_t digits, bool held, std::int64_t scale, JsonValue& out);

  // Records a failure on the byte at `stop` (end_ for the end of the text).
  const char* fail(ParseFailure failure, const char* stop) {
    failure_ = failure;
    stop_offset_ = stop == end_ ? static_cast<std::size_t>(end_ - begin_)
                                : static_cast<std::size_t>(stop - begin_) + 1;
    return nullptr;
  }

  const char* const begin_;
  const char* const end_;
  JsonArena& arena_;
  SignalPoll signals_;
  Scan scan_;
  JsonItemSink* const root_items_;
  // The text's pages, when they may go once read; what went is the bytes
  // before released_, with their line breaks counted, and where the last
  // of them stands, for the line and column of a failure after them.
  TextPages* const pages_;
  std::size_t released_ = 0;
  std::size_t released_lines_ = 0;
  std::size_t last_released_break_ = std::string_view::npos;
  std::size_t depth_ = 0;
  // Items and members of the containers being parsed, innermost last; each
  // finished container moves its share into the arena in one piece.
  // Their first room is part of the parser, which small documents never outgrow.
  boost::container::small_vector<JsonValue, 64> items_;
  boost::container::small_vector<JsonMember, 64> members_;
  // Objects of one kind repeat the same keys in the same order: the key order
  // of recent unordered key sequences is kept, two in each of 64 slots
  // chosen by a hash, so that two kinds alternating in one slot both stay.
  struct RememberedOrder {
    std::vector<std::string_view> keys;
    std::vector<KeyOrder> order;
  };
  struct RememberedOrders {
    std::array<RememberedOrder, 128> orders;
    // Which order of each slot was used last. The two stay in place: swapped,
    // their vectors were written just before the next object's look read them.
    std::array<std::uint8_t, 64> last_used{};
  };
  // Made only once a document has more objects whose keys come out of order
  // than kSortedAlone: most small documents never need it.
  std::unique_ptr<RememberedOrders> remembered_orders_;
  // The first such objects are sorted on their own, each in turn here.
  static constexpr std::size_t kSortedAlone = 8;
  std::size_t sorted_alone_ = 0;
  boost::container::small_vector<KeyOrder, 16> alone_order_;
  std::string unescaped_;
  JsonCounts counts_;
  ParseFailure failure_ = ParseFailure::ExpectedValue;
  std::size_t stop_offset_ = 0;  // bytes up to and including the one the parser stopped on
};

template <class Scan>
VelqError Parser<Scan>::error() const {
  if (failure_ == ParseFailure::Interrupted) return VelqError::interruption();
  // A failure stands after what went of the text: the line breaks before it
  // were counted then.
  std::string_view consumed(begin_ + released_, stop_offset_ - released_);
  std::size_t line = 1 + released_lines_ + static_cast<std::size_t>(std::count(consumed.begin(), consumed.end(), '\n'));
  std::size_t line_break = consumed.rfind('\n');
  line_break = line_break == std::string_view::npos ? last_released_break_ : released_ + line_break;
  std::size_t column = line_break == std::string_view::npos ? stop_offset_ : stop_offset_ - line_break - 1;
  return VelqError{std::string(describe(failure_)) + " at line " + std::to_string(line) + " column " +
                   std::to_string(column)};
}

template <class Scan>
const char* Parser<Scan>::parse_value(const char* p, JsonValue& out) {
  if (p == end_) return fail(ParseFailure::EofWhileParsingValue, end_);
  switch (*p) {
    case '"': {
      ++counts_.strings;
      std::string_view text;
      p = parse_string(p, text);
      out = JsonValue::from_string(text);
      return p;
    }
    case '[': return parse_array(p, out);
    case '{': return parse_object(p, out);
    case 't': out = JsonValue::from_bool(true); return parse_literal(p, "true");
    case 'f': out = JsonValue::from_bool(false); return parse_literal(p, "false");
    case 'n': out = JsonValue::null(); return parse_literal(p, "null");
    case '-': case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
      return parse_number(p, out);
    default: return fail(ParseFailure::ExpectedValue, p);
  }
}

template <class Scan>
const char* Parser<Scan>::parse_literal(const char* p, std::string_view word) {
  if (static_cast<std::size_t>(end_ - p) >= word.size() && std::memcmp(p, word.data(), word.size()) == 0) {
    return p + word.size();
  }
  return misspelled_literal(p, word);
}

template <class Scan>
const char* Parser<Scan>::misspelled_literal(const char* p, std::string_view word) {
  for (std::size_t i = 1;; ++i) {
    const char* q = p + i;
    if (q == end_) return fail(ParseFailure::EofWhileParsingValue, end_);
    if (*q != word[i]) return fail(ParseFailure::ExpectedIdent, q);
  }
}

template <class Scan>
const char* Parser<Scan>::parse_array(const char* p, JsonValue& out) {
  if (depth_ == JSON_MAX_NESTING) return fail(ParseFailure::RecursionLimitExceeded, p);
  ++depth_;
  const std::size_t first = items_.size();
  p = skip_space(scan_, p + 1, end_);
  if (p == end_) return fail(ParseFailure::EofWhileParsingList, end_);
  if (*p != ']') {
    for (;;) {  // p is on an item's first byte (see after_item)
      if (*p == '[' || *p == '{') {
        // A nested container grows items_, so it is built aside and appended.
        JsonValue item;
        p = *p == '[' ? parse_array(p, item) : parse_object(p, item);
        if (p == nullptr) return nullptr;
        items_.push_back(item);
      } else {
        // Scalars go straight into their slot.
        p = parse_value(p, items_.emplace_back());
        if (p == nullptr) return nullptr;
      }
      bool closed = false;
      p = after_item(p, closed);
      if (p == nullptr) return nullptr;
      if (closed) break;
    }
  }
  const std::size_t count = items_.size() - first;
  if (!signals_.poll(count + 1)) [[unlikely]] return fail(ParseFailure::Interrupted, p);
  out = JsonValue::from_array(arena_.copy_values({items_.data() + first, count}), count);
  items_.resize(first);
  --depth_;
  return p + 1;
}

// From the end of an array's item: the start of the next item, or the
// closing bracket (`closed` set then); nullptr after a failure.
template <class Scan>
const char* Parser<Scan>::after_item(const char* p, bool& closed) {
  p = skip_space(scan_, p, end_);
  if (p == end_) return fail(ParseFailure::EofWhileParsingList, end_);
  if (*p == ']') {
    closed = true;
    return p;
  }
  if (*p != ',') return fail(ParseFailure::ExpectedListCommaOrEnd, p);
  p = skip_space(scan_, p + 1, end_);
  if (p == end_) return fail(ParseFailure::EofWhileParsingValue, end_);
  if (*p == ']') return fail(ParseFailure::TrailingComma, p);
  return p;
}

// The top-level array, its items handed to root_items_ as they are parsed:
// scalars in batches, each array or object at once, its nodes released
// then. The separators and failures are parse_array's.
template <class Scan>
const char* Parser<Scan>::parse_root_items(const char* p, JsonValue& out) {
  ++depth_;
  root_items_->begin_items();
  std::size_t count = 0;
  auto hand_over = [&](const char* at) { return hand_over_items(at, count); };
  constexpr std::size_t kScalarBatch = 4096;
  p = skip_space(scan_, p + 1, end_);
  if (p == end_) return fail(ParseFailure::EofWhileParsingList, end_);
  if (*p != ']') {
    for (;;) {  // p is on an item's first byte (see after_item)
      if (*p == '[' || *p == '{') {
        const JsonArena::Mark mark = arena_.mark();
        JsonValue item;
        p = *p == '[' ? parse_array(p, item) : parse_object(p, item);
        if (p == nullptr) return nullptr;
        items_.push_back(item);
        if (!hand_over(p)) [[unlikely]] return fail(ParseFailure::Interrupted, p);
        arena_.release_to(mark);
      } else {
        p = parse_value(p, items_.emplace_back());
        if (p == nullptr) return nullptr;
        if (items_.size() == kScalarBatch && !hand_over(p)) [[unlikely]] return fail(ParseFailure::Interrupted, p);
      }
      bool closed = false;
      p = after_item(p, closed);
      if (p == nullptr) return nullptr;
      if (closed) break;
    }
  }
  if (!items_.empty() && !hand_over(p)) [[unlikely]] return fail(ParseFailure::Interrupted, p);
  out = JsonValue::from_array(nullptr, count);
  --depth_;
  return p + 1;
}

// Hands over the items gathered in items_, which end at `at`, and adds their
// number to `count`; false once told to stop. Out of line: inlined, it
// changed how the compiler inlined the rest of the parser, parse_object's
// loops included (0.5% more instructions on documents that never come here).
template <class Scan>
bool Parser<Scan>::hand_over_items(const char* at, std::size_t& count) {
  counts_.bytes = static_cast<std::size_t>(at - begin_);
  count += items_.size();
  const bool go_on = root_items_->items(items_, counts_) && signals_.poll(items_.size());
  items_.clear();
  if (pages_ != nullptr) give_back_text_before(at);
  return go_on;
}

// After items were handed over, nothing of the parser's views the text
// before `p` but the remembered key orders, which are forgotten: its pages
// go, a step at a time, once its line breaks are counted.
template <class Scan>
void Parser<Scan>::give_back_text_before(const char* p) {
  const auto offset = static_cast<std::size_t>(p - begin_);
  if (offset - released_ < pages_->release_step()) return;
  // memchr's vector scan: most large texts have few line breaks.
  for (const char* at = begin_ + released_; at != p; ++at) {
    at = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(p - at)));
    if (at == nullptr) break;
    ++released_lines_;
    last_released_break_ = static_cast<std::size_t>(at - begin_);
  }
  if (remembered_orders_) {
    for (RememberedOrder& remembered : remembered_orders_->orders) remembered.keys.clear();
  }
  pages_->release_before(offset);
  released_ = offset;
}

template <class Scan>
const char* Parser<Scan>::parse_object(const char* p, JsonValue& out) {
  if (depth_ == JSON_MAX_NESTING) return fail(ParseFailure::RecursionLimitExceeded, p);
  ++depth_;
  const std::size_t first = members_.size();
  p = skip_space(scan_, p + 1, end_);
  if (p == end_) return fail(ParseFailure::EofWhileParsingObject, end_);
  if (*p != '}') {
    if (*p != '"') return fail(ParseFailure::KeyMustBeAString, p);
    for (;;) {
      // Filled in place: the key and a scalar value are written straight
      // into the slot, which is found again by position after a nested
      // container has grown members_.
      const std::size_t slot = members_.size();
      p = parse_string(p, members_.emplace_back().key);
      if (p == nullptr) return nullptr;
      if (const char* value = past_usual_colon(p, end_)) {
        p = value;
      } else {
        p = skip_space_by_colon(scan_, p, end_);
        if (p == end_) return fail(ParseFailure::EofWhileParsingObject, end_);
        if (*p != ':') return fail(ParseFailure::ExpectedColon, p);
        p = skip_space_by_colon(scan_, p + 1, end_);
      }
      if (p != end_ && (*p == '[' || *p == '{')) {
        JsonValue value;
        p = *p == '[' ? parse_array(p, value) : parse_object(p, value);
        if (p == nullptr) return nullptr;
        members_[slot].value = value;
      } else {
        p = parse_value(p, members_[slot].value);
        if (p == nullptr) return nullptr;
      }
      p = skip_space(scan_, p, end_);
      if (p == end_) return fail(ParseFailure::EofWhileParsingObject, end_);
      if (*p == '}') break;
      if (*p != ',') return fail(ParseFailure::ExpectedObjectCommaOrEnd, p);
      p = skip_space(scan_, p + 1, end_);
      if (p == end_) return fail(ParseFailure::EofWhileParsingValue, end_);
      if (*p != '"') return fail(*p == '}' ? ParseFailure::TrailingComma : ParseFailure::KeyMustBeAString, p);
    }
  }
  const JsonMember* members = members_.data() + first;
  const std::size_t count = members_.size() - first;
  if (!signals_.poll(count + 1)) [[unlikely]] return fail(ParseFailure::Interrupted, p);
  if (!keys_ascending(members, count)) {
    const std::span<const KeyOrder> order = key_order(members, count);
    JsonMember* ordered = arena_.new_members(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) ordered[i] = members[order[i].index];
    out = JsonValue::from_object(ordered, order.size());
  } else {
    out = JsonValue::from_object(arena_.copy_members({members, count}), count);
  }
  members_.resize(first);
  --depth_;
  return p + 1;
}

// The order in which to keep the members of an object whose keys are out of order.
template <class Scan>
std::span<const KeyOrder> Parser<Scan>::key_order(const JsonMember* members, std::size_t count) {
  // The first few such objects are sorted as they are: a document that has
  // only a few (a small one, mostly) never makes the table of remembered
  // orders, which pays only where objects of one kind repeat.
  if (sorted_alone_ < kSortedAlone) {
    ++sorted_alone_;
    sort_key_order(members, count, alone_order_);
    return alone_order_;
  }
  std::uint64_t hash = (key_prefix(members[0].key) ^ count) * 0x9E3779B97F4A7C15;
  if (!remembered_orders_) remembered_orders_ = std::make_unique<RememberedOrders>();
  // The top six bits choose the slot; the order last used there is looked at first.
  const std::size_t slot = hash >> 58;
  RememberedOrder* const pair = &remembered_orders_->orders[2 * slot];
  std::uint8_t& last_used = remembered_orders_->last_used[slot];
  auto same_keys = [members, count](const RememberedOrder& remembered) {
    if (remembered.keys.size() != count) return false;
    for (std::size_t i = 0; i < count; ++i) {
      if (!same_text(remembered.keys[i], members[i].key)) return false;
    }
    return true;
  };
  if (same_keys(pair[last_used])) return pair[last_used].order;
  last_used ^= 1;  // the other order, which goes unless it is this one
  RememberedOrder& remembered = pair[last_used];
  if (!same_keys(remembered)) {
    remembered.keys.resize(count);
    for (std::size_t i = 0; i < count; ++i) remembered.keys[i] = members[i].key;
    sort_key_order(members, count, remembered.order);
  }
  return remembered.order;
}

// p is on the opening quote. Strings without escapes stay in the text.
template <class Scan>
const char* Parser<Scan>::parse_string(const char* p, std::string_view& out) {
  const char* start = p + 1;
  const char* q = scan_.string_stop(start, end_);
  if (q != end_ && *q == '"') {
    out = std::string_view(start, static_cast<std::size_t>(q - start));
    return q + 1;
  }
  return parse_escaped_string(start, q, out);
}

// Continues a string at its first stop byte, unescaping into the arena.
template <class Scan>
const char* Parser<Scan>::parse_escaped_string(const char* start, const char* p, std::string_view& out) {
  unescaped_.assign(start, p);
  for (;;) {
    if (p == end_) return fail(ParseFailure::EofWhileParsingString, end_);
    if (*p == '"') break;
    if (*p != '\\') return fail(ParseFailure::ControlCharacterInString, p);
    if (++p == end_) return fail(ParseFailure::EofWhileParsingString, end_);
    if (*p == 'u') {
      p = parse_unicode_escape(p + 1);
      if (p == nullptr) return nullptr;
    } else {
      char unescaped = kSimpleEscapes[static_cast<unsigned char>(*p)];
      if (unescaped == 0) return fail(ParseFailure::InvalidEscape, p);
      unescaped_.push_back(unescaped);
      ++p;
    }
    const char* run = p;
    p = scan_.string_stop(p, end_);
    unescaped_.append(run, p);
  }
  out = arena_.copy_string(unescaped_);
  return p + 1;
}

// p follows "\u". Surrogates must come in pairs, as two escapes.
template <class Scan>
const char* Parser<Scan>::parse_unicode_escape(const char* p) {
  std::uint32_t unit;
  p = read_hex_escape(p, unit);
  if (p == nullptr) return nullptr;
  if (is_trailing_surrogate(unit)) return fail(ParseFailure::LoneLeadingSurrogate, p - 1);
  if (!is_leading_surrogate(unit)) {
    append_utf8(unescaped_, unit);
    return p;
  }
  if (p == end_) return fail(ParseFailure::EofWhileParsingString, end_);
  if (*p != '\\') return fail(ParseFailure::UnexpectedEndOfHexEscape, p);
  if (++p == end_) return fail(ParseFailure::EofWhileParsingString, end_);
  if (*p != 'u') return fail(ParseFailure::UnexpectedEndOfHexEscape, p);
  std::uint32_t low;
  p = read_hex_escape(p + 1, low);
  if (p == nullptr) return nullptr;
  if (!is_trailing_surrogate(low)) return fail(ParseFailure::LoneLeadingSurrogate, p - 1);
  append_utf8(unescaped_, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
  return p;
}

template <class Scan>
const char* Parser<Scan>::read_hex_escape(const char* p, std::uint32_t& unit) {
  if (end_ - p < 4) return fail(ParseFailure::EofWhileParsingString, end_);
  std::int32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    std::int8_t digit = kHexDigitValues[static_cast<unsigned char>(p[i])];
    if (digit < 0) return fail(ParseFailure::InvalidEscape, p + 3);
    value = value * 16 + digit;
  }
  unit = static_cast<std::uint32_t>(value);
  return p + 4;
}

template <class Scan>
const char* Parser<Scan>::parse_number(const char* p, JsonValue& out) {
  const char* const start = p;
  const bool negative = *p == '-';
  if (negative && ++p == end_) return fail(ParseFailure::EofWhileParsingValue, end_);

  std::uint64_t magnitude = 0;
  bool exceeds_u64 = false;
  if (*p == '0') {
    ++p;
    if (p != end_ && is_digit(*p)) return fail(ParseFailure::InvalidNumber, p);
  } else if (is_digit(*p)) {
    // Nineteen digits always fit; beyond that, watch for overflow.
    const char* unchecked_end = end_ - p > 19 ? p + 19 : end_;
    do {
      magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
      ++p;
    } while (p != unchecked_end && is_digit(*p));
    for (; p != end_ && is_digit(*p); ++p) {
      exceeds_u64 |= __builtin_mul_overflow(magnitude, 10u, &magnitude);
      exceeds_u64 |= __builtin_add_overflow(magnitude, static_cast<unsigned>(*p - '0'), &magnitude);
    }
  } else {
    return fail(ParseFailure::InvalidNumber, p);
  }

  if (p != end_ && (*p == '.' || *p == 'e' || *p == 'E')) {
    return parse_fraction_and_exponent(start, p, negative, magnitude, !exceeds_u64, out);
  }
  if (!exceeds_u64) {
    if (!negative) {
      out = JsonValue::from_uint(magnitude);
      return p;
    }
    if (magnitude - 1 < (std::uint64_t{1} << 63)) {  // 1 to 2^63
      out = JsonValue::from_int(static_cast<std::int64_t>(0 - magnitude));
      return p;
    }
    if (magnitude == 0) {
      out = JsonValue::from_double(-0.0);
      return p;
    }
  }
  return convert_double(start, p, negative, out);
}

// p is on the '.', 'e' or 'E' after the integer part. `digits` holds the integer part's digits as
// a number when `held` is true; while the digits fit, the fraction's are gathered into it too.
template <class Scan>
const char* Parser<Scan>::parse_fraction_and_exponent(const char* start, const char* p, bool negative,
                                                std::uint64_t digits, bool held, JsonValue& out) {
  std::int64_t scale = 0;  // the power of ten that `digits` is to be multiplied by
  if (*p == '.') {
    if (++p == end_) return fail(ParseFailure::EofWhileParsingValue, end_);
    if (!is_digit(*p)) return fail(ParseFailure::InvalidNumber, p);
    p = read_fraction(p, digits, held, scale);
    if (p == end_ || (*p != 'e' && *p != 'E')) return convert_double(start, p, negative, digits, held, scale, out);
  }
  const char* const marker = p;
  ++p;
  bool negative_exponent = false;
  if (p != end_ && (*p == '+' || *p == '-')) {
    negative_exponent = *p == '-';
    ++p;
  }
  if (p == end_) return fail(ParseFailure::EofWhileParsingValue, end_);
  if (!is_digit(*p)) return fail(ParseFailure::InvalidNumber, p);
  constexpr std::int32_t kMaxExponent = std::numeric_limits<std::int32_t>::max();
  std::int32_t exponent = 0;
  do {
    std::int32_t digit = *p - '0';
    if (exponent > (kMaxExponent - digit) / 10) {
      // An exponent beyond 32 bits: infinite unless the digits are all zero
      // or the exponent is negative. Stops on the digit that overflowed.
      bool nonzero = std::find_if(start, marker, [](char c) { return c >= '1' && c <= '9'; }) != marker;
      if (nonzero && !negative_exponent) return fail(ParseFailure::NumberOutOfRange, p);
      while (p != end_ && is_digit(*p)) ++p;
      out = JsonValue::from_double(negative ? -0.0 : 0.0);
      return p;
    }
    exponent = exponent * 10 + digit;
    ++p;
  } while (p != end_ && is_digit(*p));
  scale += negative_exponent ? -std::int64_t{exponent} : std::int64_t{exponent};
  return convert_double(start, p, negative, digits, held, scale, out);
}

// Reads a fraction's digits from p (there is at least one). When the number's digits, read as one
// integer, stay below 10^19, they are gathered into `digits`; otherwise `held` turns false and they
// are only passed over.
template <class Scan>
const char* Parser<Scan>::read_fraction(const char* p, std::uint64_t& digits, bool& held, std::int64_t& scale) const {
  const char* const end = skip_digits(p);
  const auto count = static_cast<std::size_t>(end - p);
  if (!held || count > kHeldDigits || digits >= kPowersOfTen[kHeldDigits - count]) {
    held = false;
    return end;
  }
  for (; end - p >= 8; p += 8) digits = digits * 100000000 + eight_digits_value(load_le64(p));
  const auto tail = static_cast<std::size_t>(end - p);
  if (tail != 0 && end - begin_ >= 8) {
    // The last one to seven digits, as the top of the word that ends with them; the bytes below
    // them (whatever stands there in the text) turn into leading zeros.
    const std::uint64_t below = (std::uint64_t{1} << (8 * (8 - tail))) - 1;
    const std::uint64_t word = (load_le64(end - 8) & ~below) | (0x3030303030303030 & below);
    digits = digits * kPowersOfTen[tail] + eight_digits_value(word);
  } else {
    for (; p != end; ++p) digits = digits * 10 + static_cast<unsigned>(*p - '0');
  }
  scale -= static_cast<std::int64_t>(count);
  return end;
}

template <class Scan>
const char* Parser<Scan>::skip_digits(const char* p) const {
  for (; end_ - p >= 8; p += 8) {
    if (const std::uint64_t other = other_than_digits(load_le64(p))) return p + std::countr_zero(other) / 8;
  }
  while (p != end_ && is_digit(*p)) ++p;
  return p;
}

// [start, end) is a well-formed number, whose value is digits x 10^scale when `held`; the
// conversion rounds correctly.
template <class Scan>
const char* Parser<Scan>::convert_double(const char* start, const char* end, bool negative, std::uint64_t digits,
                                   bool held, std::int64_t scale, JsonValue& out) {
  if (held && digits <= kExactDigitsMax && scale >= -kExactPowersOfTen && scale <= kExactPowersOfTen) {
    const double value = exact_decimal(digits, scale);
    out = JsonValue::from_double(negative ? -value : value);
    return end;
  }
  if (held) return convert_long_decimal(start, end, negative, digits, scale, out);
  return convert_double(start, end, negative, out);
}

// [start, end) is a well-formed number whose value is digits x 10^scale.
template <class Scan>
const char* Parser<Scan>::convert_long_decimal(const char* start, const char* end, bool negative,
                                               std::uint64_t digits, std::int64_t scale, JsonValue& out) {
  // fast_float's product of the digits and a 128-bit power of ten rounds as reading the text does.
  // The text stays the road for a product too close to a midpoint to decide (a negative power of
  // two) and for values beyond the double range.
  using Binary = fast_float::binary_format<double>;
  const fast_float::adjusted_mantissa product = fast_float::compute_float<Binary>(scale, digits);
  if (product.power2 >= 0 && product.power2 < Binary::infinite_power()) {
    double value = 0;
    fast_float::to_float(negative, product, value);
    out = JsonValue::from_double(value);
    return end;
  }
  return convert_double(start, end, negative, out);
}

// [start, end) is a well-formed number; the conversion rounds correctly.
template <class Scan>
const char* Parser<Scan>::convert_double(const char* start, const char* end, bool negative, JsonValue& out) {
  // fast_float rounds correctly, as libstdc++'s from_chars does, and as
  // libc++'s (in the portable wheels) does more slowly. Beyond the double
  // range, releases of it differ: some report it, some only give an infinity.
  double value = 0;
  if (fast_float::from_chars(start, end, value).ec != std::errc::result_out_of_range && !std::isinf(value)) {
    out = JsonValue::from_double(value);
    return end;
  }
  if (magnitude_at_least_one(start, end)) return fail(ParseFailure::NumberOutOfRange, end - 1);
  out = JsonValue::from_double(negative ? -0.0 : 0.0);
  return end;
}

}  // namespace

namespace {

template <class Scan>
[[gnu::always_inline]] inline Result<JsonValue> parse_on(std::string_view text, JsonArena& arena, JsonCounts& counts,
                                                         SignalCheck check, JsonItemSink* root_items,
                                                         TextPages* pages) {
  Parser<Scan> parser(text, arena, check, root_items, pages);
  JsonValue root;
  if (!parser.parse_document(root)) return parser.error();
  counts = parser.counts();
  counts.bytes = text.size();
  return root;
}

}  // namespace

Result<JsonValue> parse_json(std::string_view text, JsonArena& arena, JsonCounts& counts, SignalCheck check,
                             JsonItemSink* root_items, TextPages* pages) {
  // The vector road reads the last sixteen bytes of the text as one block.
  if (scan_road() == ScanRoad::Scalar || text.size() < 16) {
    return parse_on<WordScan>(text, arena, counts, check, root_items, pages);
  }
#if defined(VELQ_BLOCK_SCAN)
  // Blocks pay once a text has a few of them; a small one keeps the sixteen-byte road.
  if (scan_road() == ScanRoad::Blocks || (scan_road() == ScanRoad::Avx2 && text.size() >= 512)) {
    return parse_on<BlockScan>(text, arena, counts, check, root_items, pages);
  }
#endif
  return parse_on<VectorScan>(text, arena, counts, check, root_items, pages);
}

Result<JsonValue> parse_json(std::string_view text, JsonArena& arena, SignalCheck check) {
  JsonCounts counts;
  return parse_json(text, arena, counts, check);
}

}  // namespace velq
