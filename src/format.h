// The byte layout of VELQ in one place: the header, the definition and
// dictionary blocks, the data entries, the string forms, the limits and the
// messages that report them. The writers and the reader both take every
// offset, width, tag and limit from here.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bytes.h"
#include "error.h"
#include "structure.h"

namespace velq {

// ---------------------------------------------------------------------------
// Header: the version byte, then the offsets of the three blocks.

inline constexpr std::uint8_t FORMAT_VERSION = 1;
inline constexpr std::size_t HEADER_SIZE = 13;

struct VelqHeader {
  std::uint8_t version = FORMAT_VERSION;
  std::uint32_t def_block_offset = HEADER_SIZE;
  std::uint32_t dict_block_offset = 0;
  std::uint32_t data_block_offset = 0;
};

inline void store_header(std::uint8_t* at, const VelqHeader& header) {
  at[0] = header.version;
  store_le32(at + 1, header.def_block_offset);
  store_le32(at + 5, header.dict_block_offset);
  store_le32(at + 9, header.data_block_offset);
}

inline VelqHeader load_header(const std::uint8_t* at) {
  return {at[0], load_le32(at + 1), load_le32(at + 5), load_le32(at + 9)};
}

// ---------------------------------------------------------------------------
// Definition block: a u16 count, then per definition its kind, its u16 index
// and, for an array, its element type; for an object, a u16 field count and
// per field a one-byte name length, the name and the field's type.

inline constexpr std::size_t DEFINITION_COUNT_SIZE = 2;
inline constexpr std::size_t DEFINITION_LEAD_SIZE = 3;         // kind, index
inline constexpr std::size_t ARRAY_DEFINITION_SIZE = 4;        // kind, index, elem_type
inline constexpr std::size_t OBJECT_DEFINITION_LEAD_SIZE = 5;  // kind, index, field count
inline constexpr std::size_t MAX_FIELD_NAME_LEN = 255;

// The records of the six definitions every compiled document starts with
// (see BUILTIN_DEFINITIONS): kind i at index i, as one constant.
inline constexpr std::size_t BUILTIN_RECORDS_SIZE = DEFINITION_LEAD_SIZE * BUILTIN_DEFINITION_COUNT;
inline constexpr std::array<std::uint8_t, BUILTIN_RECORDS_SIZE> BUILTIN_RECORDS = [] {
  std::array<std::uint8_t, BUILTIN_RECORDS_SIZE> records{};
  for (std::size_t i = 0; i < BUILTIN_DEFINITION_COUNT; ++i) {
    records[DEFINITION_LEAD_SIZE * i] = static_cast<std::uint8_t>(i);      // kind
    records[DEFINITION_LEAD_SIZE * i + 1] = static_cast<std::uint8_t>(i);  // index, low byte
  }
  return records;
}();

// Dictionary block: a u32 count, then the strings (inline forms only).
inline constexpr std::size_t DICT_COUNT_SIZE = 4;

// ---------------------------------------------------------------------------
// Data block: a u32 count, then per entry a header (the position of its
// definition, the payload's length) and the payload, one value.

inline constexpr std::size_t ENTRY_COUNT_SIZE = 4;
inline constexpr std::size_t ENTRY_HEADER_SIZE = 6;

struct EntryHeader {
  std::uint16_t def_index = 0;
  std::uint32_t payload_size = 0;
};

inline void store_entry_header(std::uint8_t* at, EntryHeader header) {
  store_le16(at, header.def_index);
  store_le32(at + 2, header.payload_size);
}

inline EntryHeader load_entry_header(const std::uint8_t* at) { return {load_le16(at), load_le32(at + 2)}; }

// ---------------------------------------------------------------------------
// Values. An array starts with its definition, its elements' definition and
// its item count; an object with its definition alone; fixed-width values
// take 0 (Null), 1 (Bool) or 4 bytes.

inline constexpr std::size_t ARRAY_HEADER_SIZE = 6;
inline constexpr std::size_t OBJECT_HEADER_SIZE = 2;
inline constexpr std::size_t NUMBER_SIZE = 4;

struct ArrayHeader {
  std::uint16_t self_def_index = 0;
  std::uint16_t elem_def_index = 0;
  std::uint16_t count = 0;
};

inline void store_array_header(std::uint8_t* at, ArrayHeader header) {
  store_le16(at, header.self_def_index);
  store_le16(at + 2, header.elem_def_index);
  store_le16(at + 4, header.count);
}

inline ArrayHeader load_array_header(const std::uint8_t* at) {
  return {load_le16(at), load_le16(at + 2), load_le16(at + 4)};
}

// The width of an item of a fixed-width type (Null, Bool, Int32, UInt32, Float32).
inline constexpr std::size_t fixed_width(VelqType type) {
  return type == VelqType::Null ? 0 : type == VelqType::Bool ? 1 : NUMBER_SIZE;
}

// ---------------------------------------------------------------------------
// Strings. The first byte tells the form: inline in the short (below 0x80,
// one byte of length), medium (0x80 to 0xFD, two bytes, 14 bits of length
// high part first, bit 6 of the first byte ignored) or long form (0xFE, then
// three bytes of length), or a reference to the dictionary (0xFF, then a u32
// position).

inline constexpr std::size_t MAX_SHORT_STRING_LEN = 127;
inline constexpr std::size_t MAX_MEDIUM_STRING_LEN = 16383;
inline constexpr std::size_t MAX_INLINE_STRING_LEN = 16777215;
inline constexpr std::uint8_t MEDIUM_STRING_TAG = 0x80;
inline constexpr std::uint8_t LONG_STRING_TAG = 0xFE;
inline constexpr std::uint8_t STR_REF_TAG = 0xFF;
inline constexpr std::size_t STR_REF_SIZE = 5;

enum class StringForm : std::uint8_t { Short, Medium, Long, Reference };

inline StringForm string_form(std::uint8_t first) {
  if (first < MEDIUM_STRING_TAG) return StringForm::Short;
  if (first < LONG_STRING_TAG) return StringForm::Medium;
  return first == LONG_STRING_TAG ? StringForm::Long : StringForm::Reference;
}

// The bytes before the text (or, for a reference, the whole reference).
inline std::size_t string_prefix_size(StringForm form) {
  switch (form) {
    case StringForm::Short: return 1;
    case StringForm::Medium: return 2;
    case StringForm::Long: return 4;
    case StringForm::Reference: return STR_REF_SIZE;
  }
  return 1;
}

// The text's length from the prefix of an inline form, all of whose bytes are at `at`.
inline std::size_t load_string_length(StringForm form, const std::uint8_t* at) {
  switch (form) {
    case StringForm::Short: return at[0];
    case StringForm::Medium: return static_cast<std::size_t>(at[0] & 0x3F) << 8 | at[1];
    default: return load_le24(at + 1);
  }
}

// Writes the prefix of an inline string of `length` bytes, the shortest
// form that holds it; returns its size, or 0 for a string too long to be
// written inline.
inline std::size_t store_string_prefix(std::uint8_t* at, std::size_t length) {
  if (length <= MAX_SHORT_STRING_LEN) {
    at[0] = static_cast<std::uint8_t>(length);
    return 1;
  }
  if (length <= MAX_MEDIUM_STRING_LEN) {
    at[0] = static_cast<std::uint8_t>(MEDIUM_STRING_TAG + (length >> 8));
    at[1] = static_cast<std::uint8_t>(length);
    return 2;
  }
  if (length <= MAX_INLINE_STRING_LEN) {
    at[0] = LONG_STRING_TAG;
    store_le24(at + 1, static_cast<std::uint32_t>(length));
    return 4;
  }
  return 0;
}

inline constexpr std::size_t MAX_STRING_PREFIX_SIZE = 4;

// ---------------------------------------------------------------------------
// Limits. The writer's come from the widths of the fields; the reader's are
// tighter, and the compilers refuse what the reader would.

inline constexpr std::size_t MAX_ENCODED_DEFINITIONS = 65535;
inline constexpr std::size_t MAX_DEFINITIONS = 2048;
inline constexpr std::size_t MAX_OBJECT_FIELDS = 256;
inline constexpr std::size_t MAX_DATA_ENTRIES = 1048576;
inline constexpr std::size_t MAX_ARRAY_ITEMS = 65535;
inline constexpr std::size_t MAX_DEPTH = 128;
inline constexpr std::size_t MAX_U32 = 0xFFFFFFFF;

// ---------------------------------------------------------------------------
// Messages that more than one place reports.

inline constexpr const char* kInlineStringTooLong = "String exceeds maximum inline length (16 777 215 bytes)";
inline constexpr const char* kFieldNameTooLong = "Field name too long";

// "Unknown VELQ type tag: 0x{byte}"
std::string unknown_type_tag_message(std::uint8_t byte);
// "Unknown definition index: {index}"
std::string unknown_definition_message(std::uint16_t index);
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

// Refuses definitions that the reader would: more than MAX_DEFINITIONS, then
// the first object definition of more than MAX_OBJECT_FIELDS fields. Inline:
// every compilation ends with it. The definitions are a compiled document's:
// the built-in ones first, which are no objects and are not looked at, so that
// a small document's check is a test or two.
static_assert(std::none_of(BUILTIN_DEFINITIONS.begin(), BUILTIN_DEFINITIONS.end(),
                           [](const VelqDefinition& builtin) { return builtin.kind == VelqType::Object; }));
inline Status check_reader_limits(std::span<const VelqDefinition> definitions) {
  if (definitions.size() > MAX_DEFINITIONS) [[unlikely]] {
    return VelqError{too_many_definitions_message(definitions.size())};
  }
  const std::size_t first_compiled = std::min<std::size_t>(definitions.size(), BUILTIN_DEFINITION_COUNT);
  for (const VelqDefinition& definition : definitions.subspan(first_compiled)) {
    if (definition.kind == VelqType::Object && definition.field_count > MAX_OBJECT_FIELDS) [[unlikely]] {
      return VelqError{too_many_object_fields_message(definition.index, definition.field_count)};
    }
  }
  return {};
}

}  // namespace velq
