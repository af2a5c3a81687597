// Little-endian loads and stores at any address (no alignment needed). The
// ground floor of the byte-level code: the format's reader and writers, the
// JSON parser's digit scan and the UTF-8 block paths all read words this way.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

// Copies n bytes, as memcpy does; most texts of a document's front (names,
// dictionary strings) are a few bytes long, which this copies without a call.
// It reads and writes nothing outside the n bytes.
inline void copy_bytes(void* to, const void* from, std::size_t n) {
  auto* out = static_cast<unsigned char*>(to);
  const auto* in = static_cast<const unsigned char*>(from);
  if (n > 16) {
    std::memcpy(out, in, n);
  } else if (n >= 8) {  // two words, overlapping when n < 16
    const std::uint64_t head = load_le64(in);
    const std::uint64_t tail = load_le64(in + n - 8);
    store_le<std::uint64_t>(out, head);
    store_le<std::uint64_t>(out + n - 8, tail);
  } else if (n >= 4) {
    const std::uint32_t head = load_le32(in);
    const std::uint32_t tail = load_le32(in + n - 4);
    store_le32(out, head);
    store_le32(out + n - 4, tail);
  } else if (n > 0) {  // first, middle and last byte cover 1 to 3 bytes
    const unsigned char first = in[0];
    const unsigned char middle = in[n / 2];
    const unsigned char last = in[n - 1];
    out[0] = first;
    out[n / 2] = middle;
    out[n - 1] = last;
  }
}

}  // namespace velq
