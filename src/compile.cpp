#include "compile.h"

namespace velq {}  // namespace velq
