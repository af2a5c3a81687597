#include "structure.h"

#include <algorithm>

namespace velq {

std::string_view type_name(VelqType type) {
  switch (type) {
    case VelqType::Null: return "Null";
    case VelqType::Bool: return "Bool";
    case VelqType::Int32: return "Int32";
    case VelqType::UInt32: return "UInt32";
    case VelqType::Float32: return "Float32";
    case VelqType::String: return "String";
    case VelqType::Array: return "Array";
    case VelqType::Object: return "Object";
  }
  return "Unknown";
}

// A text longer than a block's usual size gets a block of its own, and the
// current one keeps its room; otherwise a new block takes over, each twice
// the last up to 1 MiB.
std::string_view TextStore::keep_elsewhere(std::string_view text) {
  constexpr std::size_t kLargestBlock = std::size_t{1} << 20;
  if (text.size() > next_block_ / 4) {
    char* at = blocks_.emplace_back(std::make_unique_for_overwrite<char[]>(text.size())).get();
    std::memcpy(at, text.data(), text.size());
    return {at, text.size()};
  }
  cursor_ = blocks_.emplace_back(std::make_unique_for_overwrite<char[]>(next_block_)).get();
  left_ = next_block_;
  next_block_ = std::min(2 * next_block_, kLargestBlock);
  return keep(text);
}

}  // namespace velq
