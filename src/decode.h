// Reads and validates VELQ bytes into a VelqDocument. The input comes from
// outside: every offset, count, length, type byte and string is checked before
// it is used, and nothing outside the input is ever read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
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

}  // namespace velq
