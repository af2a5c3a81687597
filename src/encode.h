// Writes a VelqDocument as VELQ bytes.
#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "structure.h"

namespace velq {

// The whole file as bytes (std::string used as a byte buffer), or the first
// error met; on error nothing is returned.
Result<std::string> encode_document(const VelqDocument& document);

// Appends one string in the short, medium or long form; appends nothing on error.
Status encode_str_inline(std::string_view text, std::string& out);

// Appends the tag-free encoding of one node, recursively.
Status encode_value_into(const VelqData& value, std::string& out);

}  // namespace velq
