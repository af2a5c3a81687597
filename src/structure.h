// The document model that the writers and the reader share: value types,
// shape definitions and the string dictionary. Values themselves are never
// held as a tree: the compilers write them as bytes while they compile, and
// the reader hands each one on as it reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/container/small_vector.hpp>

namespace velq {

// Value types. The numeric values are written to files unchanged.
enum class VelqType : std::uint8_t {
  Null = 0x00,
  Bool = 0x01,
  Int32 = 0x02,
  UInt32 = 0x03,
  Float32 = 0x04,
  String = 0x05,
  Array = 0x10,
  Object = 0x11,
};

// True for the eight bytes that name a VelqType; every other byte in a type
// position is invalid.
inline bool is_type_byte(std::uint8_t byte) { return byte <= 0x05 || byte == 0x10 || byte == 0x11; }

// "Null", "Bool", "Int32", "UInt32", "Float32", "String", "Array", "Object".
std::string_view type_name(VelqType type);

struct VelqField {
  std::string name;
  VelqType type = VelqType::Null;
  friend bool operator==(const VelqField&, const VelqField&) = default;
};

struct VelqDefinition {
  std::optional<std::vector<VelqField>> fields;  // present exactly for objects
  std::uint16_t index = 0;                       // equal to its position
  VelqType kind = VelqType::Null;
  std::optional<VelqType> elem_type;  // present exactly for arrays
  friend bool operator==(const VelqDefinition&, const VelqDefinition&) = default;
};

// The definitions a document read holds, with room for those of a small
// one in place.
using Definitions = boost::container::small_vector<VelqDefinition, 16>;

// What a document holds besides its values: the definitions that values
// refer to by position and the dictionary strings that they refer to by
// position (views into the bytes read).
struct VelqDocument {
  Definitions definitions;
  std::vector<std::string_view> dict;
};

// The six definitions every compiled document starts with: position i has
// index i and the primitive kind of value i (Null, Bool, Int32, UInt32,
// Float32, String).
// The list has room for a small document's own definitions besides.
std::vector<VelqDefinition> builtin_definitions();
inline constexpr std::uint16_t BUILTIN_DEFINITION_COUNT = 6;

}  // namespace velq
