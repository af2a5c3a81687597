// The two compilers: JSON text to a VelqDocument (dumps, dump) and a value
// tree built from Python objects to a VelqDocument (emit).
#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "json.h"
#include "structure.h"

namespace velq {

// Parses the text and compiles it into a document with one chunk.
Result<VelqDocument> compile_json_str(std::string_view text);

// Compiles a value tree from the Python conversion into a document with one
// chunk (walk, then rewrite_indices). Cannot fail.
VelqDocument compile_data(const VelqData& root);

// Refuses a document that the decoder would refuse: more than 2048
// definitions, then the first object definition of more than 256 fields.
Status check_reader_limits(const VelqDocument& document);

// Arrays must hold items of one type: the decoder reads every item with the
// array definition's element type. Both compilers' callers report a mismatch as
// "Mixed array item at {pointer}: {found} in an array of {expected}", where
// pointer is the RFC 6901 JSON Pointer of the offending item.
VelqError mixed_array_error(std::string_view pointer, VelqType found, VelqType expected);

// Appends "/" and one reference token, escaping "~" as "~0" and "/" as "~1".
void append_pointer_token(std::string& pointer, std::string_view token);

}  // namespace velq
