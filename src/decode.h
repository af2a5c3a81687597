// Reads and validates VELQ bytes into a VelqDocument. The input comes from
// outside: every offset, count, length, type byte and string is checked before
// it is used, and nothing outside the input is ever read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "structure.h"

namespace velq {

using ByteSpan = std::span<const std::uint8_t>;

Result<VelqDocument> decode_document(ByteSpan input);

// A decoded node and the number of bytes it took.
struct DecodedValue {
  VelqData data;
  std::size_t taken = 0;
};

// Each value decoder sees only the bytes from the value's first byte to the
// end of its entry's payload. The entry's own value is at depth 1.
Result<DecodedValue> decode_array_value(ByteSpan bytes, const std::vector<VelqDefinition>& definitions,
                                        std::size_t depth);
Result<DecodedValue> decode_object_value(ByteSpan bytes, const std::vector<VelqDefinition>& definitions,
                                         std::size_t depth);
Result<DecodedValue> decode_primitive_value(ByteSpan bytes, VelqType type);

// Validates UTF-8 and returns an owned copy, or "Invalid UTF-8 string: {detail}".
Result<std::string> str_from_utf8(ByteSpan bytes);

// Receives the values of a document while decode_document_to reads it, in document order (every
// value before the values inside it). The decoder reads and checks the whole input whatever the
// sink does; a sink that has given up ignores the rest.
class DecodeSink {
 public:
  // Once the definition and dictionary blocks have been read and the data block announced its
  // entry count. Both references stay valid until decode_document_to returns.
  virtual void begin_entries(const std::vector<VelqDefinition>& definitions,
                             const std::vector<std::string>& dict, std::size_t count) = 0;
  virtual void null() = 0;
  virtual void boolean(bool value) = 0;
  virtual void int32(std::int32_t value) = 0;
  virtual void uint32(std::uint32_t value) = 0;
  virtual void float32(float value) = 0;
  // Well-formed UTF-8 inside the input; `ascii` says that no byte has its high bit set.
  virtual void string(std::string_view text, bool ascii) = 0;
  virtual void str_ref(std::uint32_t index) = 0;
  // An array whose items are strings, arrays or objects: its items come between the two calls.
  virtual void begin_array(std::size_t count) = 0;
  virtual void end_array() = 0;
  // A whole array whose items have a fixed width (Null, Bool, Int32, UInt32, Float32): `at` holds
  // them as the file stores them (see fixed_item).
  virtual void fixed_array(VelqType item_type, const std::uint8_t* at, std::size_t count) = 0;
  // `count` values follow, one per field of the definition at position `self_def_index`.
  virtual void begin_object(std::uint16_t self_def_index, std::size_t count) = 0;
  virtual void end_object() = 0;
  // After the last entry, when every entry has been read and checked.
  virtual void end_entries() = 0;

 protected:
  ~DecodeSink() = default;
};

// Decodes like decode_document, with the same checks in the same order, but hands every value to
// `sink` as it is read instead of building a document.
Status decode_document_to(ByteSpan input, DecodeSink& sink);

// Item i of DecodeSink::fixed_array for the 4-byte types, as its bits (little-endian in the file).
inline std::uint32_t fixed_item(const std::uint8_t* at, std::size_t i) {
  const std::uint8_t* p = at + 4 * i;
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace velq
