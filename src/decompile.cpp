#include "decompile.h"

namespace velq {}  // namespace velq
