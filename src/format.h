// The byte layout of VELQ in code: little-endian loads and stores, the forms
// of an inline string, and the messages that report the format's limits. The
// writers, the reader and the compilers' checks take these from here rather
// than spelling them out again.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "structure.h"

namespace velq {

// A value of type T stored little-endian at `at` (no alignment needed).
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
// The three-byte length of a long string.
inline std::size_t load_le24(const void* at) {
  const auto* bytes = static_cast<const std::uint8_t*>(at);
  return static_cast<std::size_t>(bytes[0]) | static_cast<std::size_t>(bytes[1]) << 8 |
         static_cast<std::size_t>(bytes[2]) << 16;
}

inline void store_le16(char* at, std::uint16_t v) {
  at[0] = static_cast<char>(v);
  at[1] = static_cast<char>(v >> 8);
}

inline void store_le32(char* at, std::uint32_t v) {
  at[0] = static_cast<char>(v);
  at[1] = static_cast<char>(v >> 8);
  at[2] = static_cast<char>(v >> 16);
  at[3] = static_cast<char>(v >> 24);
}

// The prefix of an inline string, in `prefix`: its length in 1, 2 or 4 bytes
// (short, medium or long form). Returns the prefix length, or 0 for a string
// too long to be written inline.
inline std::size_t inline_string_prefix(std::size_t length, unsigned char prefix[4]) {
  if (length <= 127) {
    prefix[0] = static_cast<unsigned char>(length);
    return 1;
  }
  if (length <= 16383) {
    prefix[0] = static_cast<unsigned char>(0x80 + (length >> 8));
    prefix[1] = static_cast<unsigned char>(length);
    return 2;
  }
  if (length <= MAX_INLINE_STRING_LEN) {
    prefix[0] = 0xFE;
    prefix[1] = static_cast<unsigned char>(length);
    prefix[2] = static_cast<unsigned char>(length >> 8);
    prefix[3] = static_cast<unsigned char>(length >> 16);
    return 4;
  }
  return 0;
}

// How a string value is stored, told by its first byte: inline in the short
// (length below 0x80, one byte), medium (0x80 to 0xFD, two bytes, 14 bits of
// length, bit 6 of the first byte ignored) or long form (0xFE, then three
// bytes), or as a reference to the dictionary (0xFF, then a 32-bit position).
enum class StringForm : std::uint8_t { Short, Medium, Long, Reference };

inline StringForm string_form(std::uint8_t first) {
  if (first < 0x80) return StringForm::Short;
  if (first < 0xFE) return StringForm::Medium;
  return first == 0xFE ? StringForm::Long : StringForm::Reference;
}

// The bytes before the text (or, for a reference, the whole reference).
inline std::size_t string_prefix_size(StringForm form) {
  switch (form) {
    case StringForm::Short: return 1;
    case StringForm::Medium: return 2;
    case StringForm::Long: return 4;
    case StringForm::Reference: return 5;
  }
  return 1;
}

// The text's length from a prefix of an inline form, all of whose bytes are at `at`.
inline std::size_t string_length(StringForm form, const std::uint8_t* at) {
  switch (form) {
    case StringForm::Short: return at[0];
    case StringForm::Medium: return static_cast<std::size_t>(at[0] & 0x3F) << 8 | at[1];
    default: return load_le24(at + 1);
  }
}

inline constexpr const char* kInlineStringTooLong = "String exceeds maximum inline length (16 777 215 bytes)";

// "Unknown VELQ type tag: 0x{byte}"
std::string unknown_type_tag_message(std::uint8_t byte);
// Nesting beyond MAX_DEPTH, at an array or at an object.
std::string nesting_too_deep_message(VelqType container);
// More definitions than a reader takes (MAX_DEFINITIONS).
std::string too_many_definitions_message(std::size_t count);
// An object definition of more fields than a reader takes (MAX_OBJECT_FIELDS).
std::string too_many_object_fields_message(std::uint16_t index, std::size_t count);
// More items than an array's count holds (MAX_ARRAY_ITEMS).
std::string too_many_array_items_message(std::size_t count);
// A compound definition without its element type or its fields.
std::string missing_elem_type_message(std::uint16_t index);
std::string missing_fields_message(std::uint16_t index);

}  // namespace velq
