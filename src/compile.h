// The two compilers: JSON text to a VelqDocument (dumps, dump) and a value
// tree built from Python objects to a VelqDocument (emit).
#pragma once

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

}  // namespace velq
