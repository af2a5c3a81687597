// Turns a decoded VelqDocument back into a JSON value tree: dictionary
// references are resolved and objects get their field names back.
#pragma once

#include <string>
#include <vector>

#include "error.h"
#include "json.h"
#include "structure.h"

namespace velq {

// No chunks give null, one chunk its value, several an array of them.
// The tree's strings point into `document`, which must outlive the result.
Result<JsonDocument> decompile_document(const VelqDocument& document);

// The top-level value of one chunk. A StrRef outside `dict` names the
// dictionary's length in the message.
Result<JsonValue> chunk_to_json(const VelqData& data, const std::vector<VelqDefinition>& definitions,
                                const std::vector<std::string>& dict, JsonArena& arena);

// A value below the top level (an array item or an object value).
Result<JsonValue> data_to_json(const VelqData& data, const std::vector<VelqDefinition>& definitions,
                               const std::vector<std::string>& dict, JsonArena& arena);

}  // namespace velq
