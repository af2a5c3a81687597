#include "error.h"

#include <cstring>

namespace velq {

std::string VelqError::display() const { return "Failed to parse VELQ: " + message; }

std::string IoError::display() const {
  if (code == 0) return fixed_message;
  // strerror is not thread-safe in general; glibc's is for known codes and
  // every call here runs under the interpreter lock anyway.
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

std::string hex_byte(std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[byte >> 4], kDigits[byte & 0xF]};
}

}  // namespace velq
