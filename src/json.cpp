#include "json.h"

namespace velq {}  // namespace velq
