#include "encode.h"

namespace velq {}  // namespace velq
