#include "decode.h"

namespace velq {}  // namespace velq
