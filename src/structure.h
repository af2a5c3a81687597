// The document model that the writers and the reader share: value types,
// shape definitions and the string dictionary. Values themselves are never
// held as a tree: the compilers write them as bytes while they compile, and
// the reader hands each one on as it reads it.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
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

// A field of an object definition. Its name is a view of text that outlives
// the definition's use (the bytes read, the JSON text, a Python str, or a
// compiler's own store), so that nothing is copied; `ascii` is known only to
// the reader, which checked the name (writers leave it false).
struct VelqField {
  std::string_view name;
  VelqType type = VelqType::Null;
  bool ascii = false;
  friend bool operator==(const VelqField& a, const VelqField& b) { return a.name == b.name && a.type == b.type; }
};

// A definition. An object's fields stand together in its document's field
// list, in definition order (see fields_of).
struct VelqDefinition {
  std::uint32_t first_field = 0;  // objects: position of the first field in the list
  std::uint32_t field_count = 0;  // objects: how many
  std::uint16_t index = 0;        // equal to its position in a well-made document
  VelqType kind = VelqType::Null;
  std::optional<VelqType> elem_type;  // present exactly for arrays
  bool has_fields() const { return kind == VelqType::Object; }
  friend bool operator==(const VelqDefinition&, const VelqDefinition&) = default;
};

// A document's definitions and the fields of its object definitions, with
// room for those of a small one in place.
using Definitions = boost::container::small_vector<VelqDefinition, 32>;
using Fields = boost::container::small_vector<VelqField, 64>;

// The dictionary of a document being written: views of its texts, with room
// for a small one's in place.
using Dictionary = boost::container::small_vector<std::string_view, 64>;

// The fields of an object definition.
inline std::span<const VelqField> fields_of(std::span<const VelqField> fields, const VelqDefinition& definition) {
  return fields.subspan(definition.first_field, definition.field_count);
}

// What a document holds besides its values: the definitions that values
// refer to by position and the dictionary strings that they refer to by
// position. Names and strings are views into the bytes read, which outlive
// the document.
struct VelqDocument {
  Definitions definitions;
  Fields fields;                       // of all object definitions, in definition order
  std::size_t object_definitions = 0;  // how many definitions are objects
  std::vector<std::string_view> dict;

  std::span<const VelqField> fields_of(const VelqDefinition& definition) const {
    return velq::fields_of(fields, definition);
  }
};

// The six definitions every compiled document starts with: position i has
// index i and the primitive kind of value i (Null, Bool, Int32, UInt32,
// Float32, String).
inline constexpr std::uint16_t BUILTIN_DEFINITION_COUNT = 6;
inline constexpr std::array<VelqDefinition, BUILTIN_DEFINITION_COUNT> BUILTIN_DEFINITIONS = [] {
  std::array<VelqDefinition, BUILTIN_DEFINITION_COUNT> builtins{};
  for (std::uint16_t i = 0; i < BUILTIN_DEFINITION_COUNT; ++i) {
    builtins[i].index = i;
    builtins[i].kind = static_cast<VelqType>(i);
  }
  return builtins;
}();

// The definitions of a document being compiled: the six built-in ones.
inline Definitions builtin_definitions() { return Definitions(BUILTIN_DEFINITIONS.begin(), BUILTIN_DEFINITIONS.end()); }

// Appends a field with its members written in place. A field made aside and
// copied in would be read back whole from the stack just after being written
// there piece by piece, which stalls the store buffer on every field.
inline void add_field(Fields& fields, std::string_view name, VelqType type, bool ascii = false) {
  VelqField& field = fields.emplace_back();
  field.name = name;
  field.type = type;
  field.ascii = ascii;
}

// Texts that a compiler must keep alive for its document's front when they
// live nowhere else (unescaped JSON strings, generated field names, every
// string kept of a text whose pages go as it is read): copied into blocks
// that never move, so that views of them stay valid while the store grows.
class TextStore {
 public:
  TextStore() = default;
  TextStore(const TextStore&) = delete;
  TextStore& operator=(const TextStore&) = delete;
  ~TextStore() {
    if (last_block_ != nullptr) release();
  }

  std::string_view keep(std::string_view text) {
    if (text.size() > static_cast<std::size_t>(limit_ - cursor_)) return keep_elsewhere(text);
    char* at = cursor_;
    std::memcpy(at, text.data(), text.size());
    cursor_ += text.size();
    return {at, text.size()};
  }

 private:
  // Each block starts with the address of the one made before it.
  std::string_view keep_elsewhere(std::string_view text);
  char* new_block(std::size_t size);
  void release();

  char* last_block_ = nullptr;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
  std::size_t block_size_ = 0;  // of the block that cursor_ is in
};

}  // namespace velq
