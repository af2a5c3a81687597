#include "error.h"


namespace velq {

std::string VelqError::display() const { return "Failed to parse VELQ: " + message; }

std::string hex_byte(std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[byte >> 4], kDigits[byte & 0xF]};
}

}  // namespace velq
