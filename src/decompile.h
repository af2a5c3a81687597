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

}  // namespace velq
