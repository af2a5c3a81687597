// The document model that the writers and the reader share: value types,
// shape definitions and the string dictionary. Values themselves are never
// held as a tree: the compilers write them as bytes while they compile, and
// the reader hands each one on as it reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
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

// A field of an object definition read: its name is a view into the bytes
// read, with whether it is ASCII, so that nothing is copied or checked twice.
struct ReadField {
  std::string_view name;
  VelqType type = VelqType::Null;
  bool ascii = false;
};

// A definition read. An object's fields stand together in the document's
// field list (see VelqDocument::fields_of).
struct ReadDefinition {
  std::uint32_t first_field = 0;  // objects: position of the first field in the list
  std::uint16_t field_count = 0;  // objects: how many
  std::uint16_t index = 0;        // equal to its position in a well-made document
  VelqType kind = VelqType::Null;
  std::optional<VelqType> elem_type;  // present exactly for arrays
  bool has_fields() const { return kind == VelqType::Object; }
};

// The definitions a document read holds, with room for those of a small
// one in place.
using Definitions = boost::container::small_vector<ReadDefinition, 16>;

// What a document holds besides its values: the definitions that values
// refer to by position and the dictionary strings that they refer to by
// position. Names and strings are views into the bytes read, which outlive
// the document.
struct VelqDocument {
  Definitions definitions;
  boost::container::small_vector<ReadField, 16> fields;  // of all object definitions, in definition order
  std::size_t object_definitions = 0;                   // how many definitions are objects
  std::vector<std::string_view> dict;

  // The fields of an object definition of this document.
  std::span<const ReadField> fields_of(const ReadDefinition& definition) const {
    return {fields.data() + definition.first_field, definition.field_count};
  }
};

// The definitions read, as the writers hold them (copies of the names).
std::vector<VelqDefinition> owned_definitions(const VelqDocument& document);

// The six definitions every compiled document starts with: position i has
// index i and the primitive kind of value i (Null, Bool, Int32, UInt32,
// Float32, String).
// The list has room for a small document's own definitions besides.
std::vector<VelqDefinition> builtin_definitions();
inline constexpr std::uint16_t BUILTIN_DEFINITION_COUNT = 6;

}  // namespace velq
