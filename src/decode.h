// Reads and validates VELQ bytes, handing every value to a sink as it is
// read. The input comes from outside: every offset, count, length, type byte
// and string is checked before it is used, and nothing outside the input is
// ever read.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "format.h"
#include "structure.h"
#include "utf8.h"

namespace velq {

using ByteSpan = std::span<const std::uint8_t>;

// A sink receives the values of a document in document order (every value
// before the values inside it), called directly by the reader:
//
//   void begin_entries(const VelqDocument& document, std::size_t count);
//       once the definition and dictionary blocks have been read; the
//       document stays valid until decode_document returns
//   void null();  void boolean(bool);  void int32(std::int32_t);
//   void uint32(std::uint32_t);  void float32(float);
//   void string(std::string_view text, bool ascii);   // well-formed UTF-8
//   void str_ref(std::uint32_t position);             // unchecked against the dictionary
//   void begin_array(std::size_t count);  void end_array();
//       an array of strings, arrays or objects: its items come in between
//   void fixed_array(VelqType item_type, const std::uint8_t* at, std::size_t count);
//       a whole array of fixed-width items (Null, Bool, Int32, UInt32,
//       Float32), as the file stores them (see fixed_width)
//   void begin_object(std::uint16_t self_def_index, std::size_t count);  void end_object();
//       `count` values follow, one per field of definition `self_def_index`
//   void end_entries();   after the last entry, once every entry has been read
//
// The reader reads and checks the whole input whatever the sink does; a sink
// that has given up ignores the rest.

// Reads the header, the definition block and the dictionary block into
// `document`; returns the data block.
Result<ByteSpan> decode_blocks(ByteSpan input, VelqDocument& document);

namespace decoding {

// The unread part of one entry's payload.
struct Cursor {
  const std::uint8_t* at;
  const std::uint8_t* end;
  std::size_t left() const { return static_cast<std::size_t>(end - at); }
};

// The definition at position `index`, or null.
inline const VelqDefinition* definition_at(std::span<const VelqDefinition> definitions, std::uint16_t index) {
  return index < definitions.size() ? &definitions[index] : nullptr;
}

// Reads values against the definitions and reports them to the sink; keeps
// the first failure's message. Every reader advances the cursor past the
// value's bytes.
template <class Sink>
class ValueReader {
 public:
  ValueReader(const VelqDocument& document, Sink& sink)
      : document_(document), definitions_(document.definitions), sink_(sink) {}

  // The entry's own value, at depth 1, of the type its definition gives.
  bool read_entry(Cursor& c, VelqType kind) {
    if (kind == VelqType::Array) return read_array(c, 1);
    if (kind == VelqType::Object) return read_object(c, 1);
    return read_primitive(c, kind);
  }

  std::string take_message() { return std::move(*message_); }

 private:
  bool read_array(Cursor& c, std::size_t depth);
  // Out of line even for an entry's own object: inlined into the entry loop, the sink's work for
  // each object (inlined into it) runs short of registers.
  [[gnu::noinline]] bool read_object(Cursor& c, std::size_t depth);
  [[gnu::always_inline]] inline bool read_primitive(Cursor& c, VelqType type);
  bool read_string(Cursor& c);

  [[gnu::cold]] bool fail(std::string message) {
    message_.emplace(std::move(message));
    return false;
  }

  const VelqDocument& document_;
  std::span<const VelqDefinition> definitions_;
  Sink& sink_;
  std::optional<std::string> message_;  // made by the first failure: a call that succeeds never builds a string
};

template <class Sink>
bool ValueReader<Sink>::read_array(Cursor& c, std::size_t depth) {
  if (depth > MAX_DEPTH) [[unlikely]] return fail(nesting_too_deep_message(VelqType::Array));
  const std::size_t left = c.left();
  if (left < 2) [[unlikely]] return fail("Truncated array self_def_index");
  const std::uint16_t self = load_le16(c.at);
  const VelqDefinition* definition = definition_at(definitions_, self);
  if (definition == nullptr) [[unlikely]] return fail(unknown_definition_message(self));
  if (!definition->elem_type) [[unlikely]] return fail(missing_elem_type_message(self));
  if (left < 4) [[unlikely]] return fail("Truncated array elem_def_index");
  if (left < ARRAY_HEADER_SIZE) [[unlikely]] return fail("Truncated array count");

  const std::size_t count = load_array_header(c.at).count;
  c.at += ARRAY_HEADER_SIZE;
  const VelqType type = *definition->elem_type;
  if (type != VelqType::String && type != VelqType::Array && type != VelqType::Object) {
    // Fixed-width items are checked for room all at once: the message is the
    // same whichever item would run short.
    static constexpr const char* kShort[] = {"", "Expected bool byte", "Expected int32 (4 bytes)",
                                             "Expected uint32 (4 bytes)", "Expected float32 (4 bytes)"};
    const std::size_t width = fixed_width(type);
    if (width != 0 && c.left() / width < count) return fail(kShort[static_cast<int>(type)]);
    sink_.fixed_array(type, c.at, count);
    c.at += width * count;
    return true;
  }
  sink_.begin_array(count);
  for (std::size_t i = 0; i < count; ++i) {
    const bool ok = type == VelqType::String ? read_string(c)
                    : type == VelqType::Array ? read_array(c, depth + 1)
                                              : read_object(c, depth + 1);
    if (!ok) [[unlikely]] return false;
  }
  sink_.end_array();
  return true;
}

template <class Sink>
bool ValueReader<Sink>::read_object(Cursor& c, std::size_t depth) {
  if (depth > MAX_DEPTH) [[unlikely]] return fail(nesting_too_deep_message(VelqType::Object));
  if (c.left() < OBJECT_HEADER_SIZE) [[unlikely]] return fail("Truncated object self_def_index");
  const std::uint16_t self = load_le16(c.at);
  const VelqDefinition* definition = definition_at(definitions_, self);
  if (definition == nullptr) [[unlikely]] return fail(unknown_definition_message(self));
  if (!definition->has_fields()) [[unlikely]] return fail(missing_fields_message(self));

  c.at += OBJECT_HEADER_SIZE;
  sink_.begin_object(self, definition->field_count);
  for (const VelqField& field : document_.fields_of(*definition)) {
    bool ok;
    if (field.type == VelqType::Object) {
      ok = read_object(c, depth + 1);
    } else if (field.type == VelqType::Array) {
      ok = read_array(c, depth + 1);
    } else {
      ok = read_primitive(c, field.type);
    }
    if (!ok) [[unlikely]] return false;
  }
  sink_.end_object();
  return true;
}

template <class Sink>
inline bool ValueReader<Sink>::read_primitive(Cursor& c, VelqType type) {
  switch (type) {
    case VelqType::Null:
      sink_.null();
      return true;
    case VelqType::Bool:
      if (c.left() < 1) [[unlikely]] return fail("Expected bool byte");
      sink_.boolean(*c.at != 0);
      c.at += 1;
      return true;
    case VelqType::Int32:
      if (c.left() < NUMBER_SIZE) [[unlikely]] return fail("Expected int32 (4 bytes)");
      sink_.int32(static_cast<std::int32_t>(load_le32(c.at)));
      c.at += NUMBER_SIZE;
      return true;
    case VelqType::UInt32:
      if (c.left() < NUMBER_SIZE) [[unlikely]] return fail("Expected uint32 (4 bytes)");
      sink_.uint32(load_le32(c.at));
      c.at += NUMBER_SIZE;
      return true;
    case VelqType::Float32:
      if (c.left() < NUMBER_SIZE) [[unlikely]] return fail("Expected float32 (4 bytes)");
      sink_.float32(std::bit_cast<float>(load_le32(c.at)));
      c.at += NUMBER_SIZE;
      return true;
    case VelqType::String:
      return read_string(c);
    case VelqType::Array:
    case VelqType::Object:
      break;
  }
  // Compound values need definitions; this function reads only the primitive types.
  return fail(unknown_type_tag_message(static_cast<std::uint8_t>(type)));
}

template <class Sink>
bool ValueReader<Sink>::read_string(Cursor& c) {
  const std::size_t left = c.left();
  if (left == 0) [[unlikely]] return fail("Expected string/StrRef byte");
  const StringForm form = string_form(c.at[0]);
  const std::size_t prefix = string_prefix_size(form);
  if (form == StringForm::Reference) {
    if (left < prefix) [[unlikely]] return fail("Truncated StrRef dict index");
    sink_.str_ref(load_le32(c.at + 1));
    c.at += prefix;
    return true;
  }
  if (left < prefix) [[unlikely]] {
    return fail(form == StringForm::Medium ? "Truncated medium string length" : "Truncated long string length");
  }
  const std::size_t length = load_string_length(form, c.at);
  if (left < prefix + length) [[unlikely]] {
    static constexpr const char* kForm[] = {"short", "medium", "long"};
    return fail(compose_message("Truncated ", kForm[static_cast<int>(form)], " string: need ", prefix + length,
                                " bytes, got ", left));
  }
  const std::uint8_t* text = c.at + prefix;
  bool ascii;
  Utf8Fault fault;
  if (!check_utf8(text, length, ascii, fault)) [[unlikely]] {
    return fail("Invalid UTF-8 string: " + describe_utf8_fault(fault));
  }
  sink_.string(std::string_view(reinterpret_cast<const char*>(text), length), ascii);
  c.at = text + length;
  return true;
}

// The data block: the entry count, then each entry's header and value.
template <class Sink>
Status read_entries(ByteSpan block, const VelqDocument& document, Sink& sink) {
  const std::size_t size = block.size();
  if (size < ENTRY_COUNT_SIZE) return VelqError{compose_message("Data block too short: ", size, " bytes")};
  const std::size_t count = load_le32(block.data());
  if (count > MAX_DATA_ENTRIES) {
    return VelqError{compose_message("Data entry count ", count, " exceeds max ", MAX_DATA_ENTRIES)};
  }
  std::span<const VelqDefinition> definitions = document.definitions;
  sink.begin_entries(document, count);
  ValueReader<Sink> reader(document, sink);
  std::size_t p = ENTRY_COUNT_SIZE;
  for (std::size_t i = 0; i < count; ++i) {
    if (size - p < ENTRY_HEADER_SIZE) return VelqError{compose_message("Truncated entry ", i, " header")};
    const EntryHeader entry = load_entry_header(block.data() + p);
    const std::uint8_t* value_at = block.data() + p + ENTRY_HEADER_SIZE;
    if (size - p - ENTRY_HEADER_SIZE < entry.payload_size) {
      return VelqError{compose_message("Entry ", i, " payload (", entry.payload_size, " bytes) exceeds buffer")};
    }
    const VelqDefinition* definition = definition_at(definitions, entry.def_index);
    if (definition == nullptr) return VelqError{unknown_definition_message(entry.def_index)};

    Cursor c{value_at, value_at + entry.payload_size};
    if (!reader.read_entry(c, definition->kind)) return VelqError{reader.take_message()};
    const std::size_t used = static_cast<std::size_t>(c.at - value_at);
    if (used != entry.payload_size) {
      return VelqError{compose_message("Mismatch entry ", i, ": consumed ", used, " of ", entry.payload_size)};
    }
    p += ENTRY_HEADER_SIZE + entry.payload_size;
  }
  sink.end_entries();
  return {};
}

}  // namespace decoding

// Decodes the whole input, handing its values to `sink`; the first failure
// ends the decoding.
template <class Sink>
Status decode_document(ByteSpan input, Sink& sink) {
  VelqDocument document;
  Result<ByteSpan> data = decode_blocks(input, document);
  if (!data) return std::move(data).error();
  return decoding::read_entries(data.value(), document, sink);
}

}  // namespace velq
