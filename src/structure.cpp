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

void TextStore::release() {
  while (last_block_ != nullptr) {
    char* previous = nullptr;
    std::memcpy(&previous, last_block_, sizeof previous);
    delete[] last_block_;
    last_block_ = previous;
  }
}

char* TextStore::new_block(std::size_t size) {
  char* block = new char[sizeof(char*) + size];
  std::memcpy(block, &last_block_, sizeof last_block_);
  last_block_ = block;
  return block + sizeof(char*);
}

// A block is twice the size of the one before it that took over, from
// 4 KiB up to 1 MiB; a text longer than a quarter of that gets a block of
// its own, and the current one keeps its room.
std::string_view TextStore::keep_elsewhere(std::string_view text) {
  constexpr std::size_t kFirstBlock = 4096;
  constexpr std::size_t kLargestBlock = std::size_t{1} << 20;
  const std::size_t size = block_size_ == 0 ? kFirstBlock : std::min(2 * block_size_, kLargestBlock);
  if (text.size() > size / 4) {
    char* at = new_block(text.size());
    std::memcpy(at, text.data(), text.size());
    return {at, text.size()};
  }
  cursor_ = new_block(size);
  limit_ = cursor_ + size;
  block_size_ = size;
  return keep(text);
}

}  // namespace velq
