// Little-endian loads and stores at any address (no alignment needed). The
// ground floor of the byte-level code: the format's reader and writers, the
// JSON parser's digit scan and the UTF-8 block paths all read words this way.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velq {

template <class T>
inline T load_le(const void* at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    T swapped = 0;
    for (std::size_t i = 0; i < sizeof v; ++i) swapped = static_cast<T>((swapped << 8) | ((v >> (8 * i)) & 0xFF));
    v = swapped;
  }
  return v;
}

inline std::uint16_t load_le16(const void* at) { return load_le<std::uint16_t>(at); }
inline std::uint32_t load_le32(const void* at) { return load_le<std::uint32_t>(at); }
inline std::uint64_t load_le64(const void* at) { return load_le<std::uint64_t>(at); }

// Three bytes, low byte first.
inline std::uint32_t load_le24(const void* at) {
  const auto* bytes = static_cast<const std::uint8_t*>(at);
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16;
}

template <class T>
inline void store_le(void* at, T v) {
  if constexpr (std::endian::native == std::endian::big) {
    T swapped = 0;
    for (std::size_t i = 0; i < sizeof v; ++i) swapped = static_cast<T>((swapped << 8) | ((v >> (8 * i)) & 0xFF));
    v = swapped;
  }
  std::memcpy(at, &v, sizeof v);
}

inline void store_le16(void* at, std::uint16_t v) { store_le<std::uint16_t>(at, v); }
inline void store_le32(void* at, std::uint32_t v) { store_le<std::uint32_t>(at, v); }

// Three bytes, low byte first.
inline void store_le24(void* at, std::uint32_t v) {
  auto* bytes = static_cast<std::uint8_t*>(at);
  bytes[0] = static_cast<std::uint8_t>(v);
  bytes[1] = static_cast<std::uint8_t>(v >> 8);
  bytes[2] = static_cast<std::uint8_t>(v >> 16);
}

// Copies n bytes, as memcpy does. Most texts of a document (keys, names,
// short values) are a few bytes long: up to 32 bytes are moved in two
// overlapping pieces of one width, which costs less than a call of memcpy.
// Nothing outside the n bytes is read or written. Inlined by hand: GCC would
// otherwise make it a call of its own in the larger callers.
[[gnu::always_inline]] inline void copy_bytes(void* to, const void* from, std::size_t n) {
  auto* out = static_cast<unsigned char*>(to);
  const auto* in = static_cast<const unsigned char*>(from);
  auto two_moves = [out, in, n](auto piece) {
    const std::size_t width = sizeof piece;
    decltype(piece) tail;
    std::memcpy(&piece, in, width);
    std::memcpy(&tail, in + n - width, width);
    std::memcpy(out, &piece, width);
    std::memcpy(out + n - width, &tail, width);
  };
  struct Piece16 {
    unsigned char bytes[16];
  };
  if (n > 32) {
    std::memcpy(out, in, n);
  } else if (n >= 16) {
    two_moves(Piece16{});
  } else if (n >= 8) {
    two_moves(std::uint64_t{});
  } else if (n >= 4) {
    two_moves(std::uint32_t{});
  } else if (n >= 2) {
    two_moves(std::uint16_t{});
  } else if (n == 1) {
    out[0] = in[0];
  }
}

// Whether two texts hold the same bytes, as operator== of string_view
// says. Keys and repeated strings are mostly short: up to 16 bytes are
// compared in two overlapping words of one width, without a call of memcmp,
// and nothing outside either text is read.
[[gnu::always_inline]] inline bool same_text(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n > 16) return std::memcmp(a.data(), b.data(), n) == 0;
  auto two_words = [&a, &b, n](auto word) {
    const std::size_t width = sizeof word;
    decltype(word) a_head, a_tail, b_head, b_tail;
    std::memcpy(&a_head, a.data(), width);
    std::memcpy(&a_tail, a.data() + n - width, width);
    std::memcpy(&b_head, b.data(), width);
    std::memcpy(&b_tail, b.data() + n - width, width);
    return ((a_head ^ b_head) | (a_tail ^ b_tail)) == 0;
  };
  if (n >= 8) return two_words(std::uint64_t{});
  if (n >= 4) return two_words(std::uint32_t{});
  if (n >= 2) return two_words(std::uint16_t{});
  return n == 0 || a[0] == b[0];
}

}  // namespace velq
