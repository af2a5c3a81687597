// Small builders shared by the C++ tests.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "structure.h"

namespace velq::test_support {

// "01 0D 00" -> the bytes 0x01 0x0D 0x00; spaces are ignored.
inline std::string from_hex(std::string_view hex) {
  std::string out;
  int high = -1;
  for (char ch : hex) {
    if (ch == ' ') continue;
    const int digit = std::isdigit(static_cast<unsigned char>(ch)) ? ch - '0' : std::toupper(ch) - 'A' + 10;
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
  return out;
}

// The bytes as uppercase hex pairs separated by spaces, for readable failures.
inline std::string to_hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

// One-letter node builders; the variant index is explicit so that literals
// never pick the wrong alternative.
inline VelqData N() { return VelqData(std::in_place_index<kNullIndex>); }
inline VelqData B(bool v) { return VelqData(std::in_place_index<kBoolIndex>, v); }
inline VelqData I(std::int32_t v) { return VelqData(std::in_place_index<kInt32Index>, v); }
inline VelqData U(std::uint32_t v) { return VelqData(std::in_place_index<kUInt32Index>, v); }
inline VelqData F(float v) { return VelqData(std::in_place_index<kFloat32Index>, v); }
inline VelqData S(std::string v) { return VelqData(std::in_place_index<kStringIndex>, std::move(v)); }
inline VelqData R(std::uint32_t p) { return VelqStrRef{p}; }
inline VelqData O(std::uint16_t self, std::vector<VelqData> values) {
  return VelqObject{self, std::move(values)};
}

}  // namespace velq::test_support
