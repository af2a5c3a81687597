// The two compilers: JSON text to a VelqDocument (dumps, dump) and a value
// tree built from Python objects to a VelqDocument (emit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "error.h"
#include "json.h"
#include "structure.h"

namespace velq {

// Hash and equality over string texts that let std::string keys be looked up
// by std::string_view without building a string.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

struct TextEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

// A string text with its hash: every string value is hashed once, however many
// tables it then visits. The text is a view; stored keys view memory that the
// table's owner keeps.
struct HashedText {
  std::string_view text;
  std::size_t hash = 0;

  static HashedText of(std::string_view text) { return {text, TextHash{}(text)}; }
};

struct HashedTextHash {
  std::size_t operator()(const HashedText& t) const noexcept { return t.hash; }
};

struct HashedTextEqual {
  bool operator()(const HashedText& a, const HashedText& b) const noexcept {
    return a.hash == b.hash && a.text == b.text;
  }
};

using ShapeIndices = boost::unordered_flat_map<std::string, std::uint16_t, TextHash, TextEqual>;

// State of one JSON compilation: the definitions and the string dictionary the
// document collects besides its data. The maps serve lookups only; positions
// and indices come from `dict` and `next_def_index`, so the output does not
// depend on hashing.
struct CompileBuilder {
  CompileBuilder();

  std::vector<VelqDefinition> definitions;
  std::string shape_key_buffer;  // reused for every object shape key
  std::vector<std::string> dict;
  ShapeIndices object_shapes;
  boost::unordered_flat_map<VelqType, std::uint16_t> array_shapes;
  // Holds one copy of every text in seen_strings; both string tables view it.
  // A bump arena spares one allocation per distinct string.
  JsonArena string_store;
  boost::unordered_flat_map<HashedText, std::uint32_t, HashedTextHash, HashedTextEqual> string_positions;
  boost::unordered_flat_set<HashedText, HashedTextHash, HashedTextEqual> seen_strings;
  std::uint16_t next_def_index = BUILTIN_DEFINITION_COUNT;

  // The first occurrence of a text stays inline; the second moves it into
  // `dict`, and it is referred to from then on.
  VelqData emit_string(std::string_view text);

  // One definition per element type.
  Result<std::uint16_t> intern_array_shape(std::uint8_t elem_type);

  // One definition per sequence of (key, type code) pairs; members in key order.
  std::uint16_t intern_object_shape(std::span<const JsonMember> members);
};

// Compiles one JSON value (and everything below it) with the builder. Fails
// only for an array whose items differ in type; the pointer in the message
// is relative to `value`.
Result<VelqData> compile_inline(CompileBuilder& builder, const JsonValue& value);

// The type code the compiled node of a JSON value will have.
VelqType json_type_code(const JsonValue& value);

// Compiles a value tree built from Python objects. Arrays get their
// definition before their items, objects after their values; every string is
// listed in `dict` but stays inline in the data.
class DataCompiler {
 public:
  DataCompiler();

  // Collects definitions and strings; records a definition for every array
  // and object. Called once, on the root.
  void walk(const VelqData& node);

  // Copies the tree with every array and object pointing at the definition
  // `walk` recorded for it. Called once, on the root, after walk.
  VelqData rewrite_indices(const VelqData& node);

  std::vector<VelqDefinition> definitions;
  std::vector<std::string> dict;
  ShapeIndices object_shapes;
  ShapeIndices array_shapes;
  boost::unordered_flat_map<std::string, std::uint32_t, TextHash, TextEqual> string_positions;
  // One entry per array and object, in pre-order of the tree (an object's slot
  // is reserved on entry and filled once its values are walked).
  std::vector<std::uint16_t> node_def_indices;
  std::uint16_t next_def_index = BUILTIN_DEFINITION_COUNT;

 private:
  std::string shape_key_buffer_;
  std::size_t rewrite_position_ = 0;
};

// Parses the text and compiles it into a document with one chunk.
Result<VelqDocument> compile_json_str(std::string_view text);

// Compiles a value tree from the Python conversion into a document with one
// chunk (walk, then rewrite_indices). Cannot fail.
VelqDocument compile_data(const VelqData& root);

// Refuses a document that the decoder would refuse: more than 2048
// definitions, then the first object definition of more than 256 fields.
Status check_reader_limits(const VelqDocument& document);

// Arrays must hold items of one type: the decoder reads every item with the
// array definition's element type. Both compilers' callers report a mismatch as
// "Mixed array item at {pointer}: {found} in an array of {expected}", where
// pointer is the RFC 6901 JSON Pointer of the offending item.
VelqError mixed_array_error(std::string_view pointer, VelqType found, VelqType expected);

// Appends "/" and one reference token, escaping "~" as "~0" and "/" as "~1".
void append_pointer_token(std::string& pointer, std::string_view token);

}  // namespace velq
