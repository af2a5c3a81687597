// The in-memory form of a VELQ document: shape definitions, a string
// dictionary and the top-level data entries (chunks). The tree roads build and
// read one (compile_json_str, compile_data, encode_document, decode_document,
// decompile_document); the module's own roads follow the same rules without
// building one in between (they write bytes while they compile, and hand
// values on while they decode).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

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
bool is_type_byte(std::uint8_t byte);

// "Null", "Bool", "Int32", "UInt32", "Float32", "String", "Array", "Object".
std::string_view type_name(VelqType type);

struct VelqData;

// A reference to a string of the document's dictionary, by position.
struct VelqStrRef {
  std::uint32_t index = 0;
  friend bool operator==(const VelqStrRef&, const VelqStrRef&) = default;
};

struct VelqArray {
  std::uint16_t self_def_index = 0;  // position of the array definition
  std::uint16_t elem_def_index = 0;  // a definition recorded for the elements
  std::vector<VelqData> items;
  friend bool operator==(const VelqArray&, const VelqArray&) = default;
};

struct VelqObject {
  std::uint16_t self_def_index = 0;  // position of the object definition
  std::vector<VelqData> values;      // one per field, in field order
  friend bool operator==(const VelqObject&, const VelqObject&) = default;
};

struct VelqNull {
  friend bool operator==(const VelqNull&, const VelqNull&) = default;
};

// One node of a value tree. The alternatives are in this order on purpose:
// Null, Bool, Int32, UInt32, Float32, String (inline), StrRef, Array, Object.
struct VelqData
    : std::variant<VelqNull, bool, std::int32_t, std::uint32_t, float, std::string,
                   VelqStrRef, VelqArray, VelqObject> {
  using variant::variant;
  friend bool operator==(const VelqData&, const VelqData&) = default;
};

// Variant positions of VelqData, for switch statements over data.index().
enum VelqDataIndex : std::size_t {
  kNullIndex = 0,
  kBoolIndex,
  kInt32Index,
  kUInt32Index,
  kFloat32Index,
  kStringIndex,
  kStrRefIndex,
  kArrayIndex,
  kObjectIndex,
};

// The VelqType a node stands for; a StrRef is a String.
VelqType type_of(const VelqData& data);

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

struct VelqChunk {
  VelqData data;
  std::uint16_t def_index = 0;
  friend bool operator==(const VelqChunk&, const VelqChunk&) = default;
};

inline constexpr std::uint8_t FORMAT_VERSION = 1;
inline constexpr std::size_t HEADER_SIZE = 13;

struct VelqDocument {
  std::vector<VelqDefinition> definitions;
  std::vector<std::string> dict;
  std::vector<VelqChunk> chunks;
  std::uint32_t def_block_offset = HEADER_SIZE;
  std::uint32_t dict_block_offset = 0;
  std::uint32_t data_block_offset = 0;
  std::uint8_t version = FORMAT_VERSION;
  friend bool operator==(const VelqDocument&, const VelqDocument&) = default;
};

// The six definitions every compiled document starts with: position i has
// index i and the primitive kind of value i (Null, Bool, Int32, UInt32,
// Float32, String).
std::vector<VelqDefinition> builtin_definitions();
inline constexpr std::uint16_t BUILTIN_DEFINITION_COUNT = 6;

// Limits of the format.
inline constexpr std::size_t MAX_ENCODED_DEFINITIONS = 65535;
inline constexpr std::size_t MAX_DEFINITIONS = 2048;
inline constexpr std::size_t MAX_OBJECT_FIELDS = 256;
inline constexpr std::size_t MAX_INLINE_STRING_LEN = 16777215;
inline constexpr std::size_t MAX_DATA_ENTRIES = 1048576;
inline constexpr std::size_t MAX_ARRAY_ITEMS = 65535;
inline constexpr std::size_t MAX_DEPTH = 128;

}  // namespace velq
