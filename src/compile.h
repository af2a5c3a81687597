// The two compilers: JSON text to a VelqDocument (dumps, dump) and a value
// tree built from Python objects to a VelqDocument (emit).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "encode.h"
#include "error.h"
#include "json.h"
#include "structure.h"

namespace velq {

// Equality over string texts that lets std::string keys be looked up by
// std::string_view without building a string.
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
};

struct HashedTextHash {
  std::size_t operator()(const HashedText& t) const noexcept { return t.hash; }
};

struct HashedTextEqual {
  bool operator()(const HashedText& a, const HashedText& b) const noexcept {
    return a.hash == b.hash && a.text == b.text;
  }
};

// A string hash taking eight bytes per step. The flat maps mix every hash
// again before use, so it need not spread its bits itself.
struct QuickTextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept;
};

// A string value as CompileBuilder keeps it: its text (a view), half of its
// hash, which spares hashing the texts again when the table grows, and its
// position in `dict` once it has one. Twenty-four bytes.
struct StringEntry {
  const char* data = nullptr;
  std::size_t size = 0;
  std::uint32_t hash = 0;
  mutable std::uint32_t position = 0;

  std::string_view text() const { return {data, size}; }
};

struct StringEntryHash {
  std::size_t operator()(const StringEntry& entry) const noexcept { return entry.hash; }
};

struct StringEntryEqual {
  bool operator()(const StringEntry& a, const StringEntry& b) const noexcept {
    return a.hash == b.hash && a.text() == b.text();
  }
};

// An object shape as CompileBuilder keeps it: the fields of the definition
// made for it, which stay where they are while the definition lives (moving a
// definition moves their storage along), and their hash.
struct ObjectShape {
  const VelqField* fields = nullptr;
  std::size_t count = 0;
  std::size_t hash = 0;
};

// The shape of a JSON object as it is looked up: its members, in key order.
struct MembersShape {
  std::span<const JsonMember> members;
  std::size_t hash = 0;

  static MembersShape of(std::span<const JsonMember> members);
};

struct ObjectShapeHash {
  using is_transparent = void;
  std::size_t operator()(const ObjectShape& shape) const noexcept { return shape.hash; }
  std::size_t operator()(const MembersShape& shape) const noexcept { return shape.hash; }
};

// Same keys byte for byte, and the same type code for each.
struct ObjectShapeEqual {
  using is_transparent = void;
  bool operator()(const ObjectShape& a, const ObjectShape& b) const noexcept;
  bool operator()(const MembersShape& a, const ObjectShape& b) const noexcept;
  bool operator()(const ObjectShape& a, const MembersShape& b) const noexcept { return (*this)(b, a); }
};

// State of one JSON compilation: the definitions and the string dictionary the
// document collects besides its data. The maps serve lookups only; positions
// and indices come from `dict` and `next_def_index`, so the output does not
// depend on hashing.
//
// The builder keeps views of the string values it is given: the JSON tree
// compiled with it must outlive its use.
struct CompileBuilder {
  CompileBuilder();
  // The shape table points into `definitions`: copies would point into the original.
  CompileBuilder(const CompileBuilder&) = delete;
  CompileBuilder& operator=(const CompileBuilder&) = delete;
  CompileBuilder(CompileBuilder&&) = default;
  CompileBuilder& operator=(CompileBuilder&&) = default;

  // The position of a text in `strings` that has been met only once.
  static constexpr std::uint32_t kNotInDict = 0xFFFFFFFF;
  static constexpr std::int32_t kNoArrayShape = -1;

  std::vector<VelqDefinition> definitions;
  std::vector<std::string> dict;
  boost::unordered_flat_map<ObjectShape, std::uint16_t, ObjectShapeHash, ObjectShapeEqual> object_shapes;
  // Definition index by element type code, kNoArrayShape until there is one.
  std::array<std::int32_t, 256> array_shapes;
  // The object shape last met for each member count (modulo the table size):
  // objects of one kind mostly follow each other, and are then recognised by
  // comparing alone, without hashing their keys. Index 0 marks an empty slot.
  struct RecentShape {
    ObjectShape shape;
    std::uint16_t index = 0;
  };
  std::array<RecentShape, 16> recent_object_shapes{};
  // Every string value met so far (one lookup per occurrence), with its
  // position in `dict` from its second occurrence on.
  boost::unordered_flat_set<StringEntry, StringEntryHash, StringEntryEqual> strings;
  std::uint16_t next_def_index = BUILTIN_DEFINITION_COUNT;

  // The first occurrence of a text stays inline (no position); the second
  // moves it into `dict`, and it is referred to from then on.
  std::optional<std::uint32_t> intern_string(std::string_view text);

  // A String or StrRef node, as intern_string decides.
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
  DataCompiler(const DataCompiler&) = delete;
  DataCompiler& operator=(const DataCompiler&) = delete;

  // Collects definitions and strings; records a definition for every array
  // and object. Called once, on the root.
  void walk(const VelqData& node);

  // Copies the tree with every array and object pointing at the definition
  // `walk` recorded for it. Called once, on the root, after walk.
  VelqData rewrite_indices(const VelqData& node);

  // The same indices as rewrite_indices, written into the walked tree itself
  // instead of a copy. Called once, on the root, after walk.
  void rewrite_indices_in_place(VelqData& node);

  using ShapeTable = boost::unordered_flat_map<std::string, std::uint16_t, QuickTextHash, TextEqual>;

  std::vector<VelqDefinition> definitions;
  std::vector<std::string> dict;
  ShapeTable object_shapes;
  ShapeTable array_shapes;
  // Keys view copies held by the compiler, so the table stays valid whatever
  // becomes of the walked tree; each carries its hash, computed once per text.
  boost::unordered_flat_map<HashedText, std::uint32_t, HashedTextHash, HashedTextEqual> string_positions;
  // One entry per array and object, in pre-order of the tree (an object's slot
  // is reserved on entry and filled once its values are walked).
  std::vector<std::uint16_t> node_def_indices;
  std::uint16_t next_def_index = BUILTIN_DEFINITION_COUNT;

 private:
  void walk_string(const std::string& text);
  void walk_array(const VelqArray& array);
  void walk_object(const VelqObject& object);
  std::uint16_t intern_shape(ShapeTable& shapes, std::string_view key, VelqDefinition*& created);

  std::string shape_key_buffer_;
  std::size_t rewrite_position_ = 0;
  std::pmr::monotonic_buffer_resource string_store_;
};

// Parses the text and compiles it into a document with one chunk.
Result<VelqDocument> compile_json_str(std::string_view text);

// The bytes of a compiled JSON text in two consecutive parts: everything up to
// the chunk's payload, then the payload.
struct EncodedJson {
  std::string head;
  ByteBuffer payload;

  std::size_t size() const { return head.size() + payload.size(); }
  std::string joined() const;
};

// What encode_document writes for the document compile_json_str returns, once
// check_reader_limits has accepted it; or the first failure of the three in
// that order. The payload is written while the tree is compiled, so no
// document is built, and the tree is released before the head is written.
// The payload goes into `storage` when one is given, from its start.
Result<EncodedJson> compile_json_to_velq(std::string_view text, ByteBuffer::Storage* storage = nullptr);

// Compiles a value tree from the Python conversion into a document with one
// chunk (walk, then rewrite_indices). Cannot fail. The tree is taken over and
// becomes the chunk's data, so callers that no longer need it move it in.
VelqDocument compile_data(VelqData root);

// Refuses a document that the decoder would refuse: more than 2048
// definitions, then the first object definition of more than 256 fields.
Status check_reader_limits(const VelqDocument& document);
Status check_reader_limits(const std::vector<VelqDefinition>& definitions);

// Arrays must hold items of one type: the decoder reads every item with the
// array definition's element type. Both compilers' callers report a mismatch as
// "Mixed array item at {pointer}: {found} in an array of {expected}", where
// pointer is the RFC 6901 JSON Pointer of the offending item.
VelqError mixed_array_error(std::string_view pointer, VelqType found, VelqType expected);

// Appends "/" and one reference token, escaping "~" as "~0" and "/" as "~1".
void append_pointer_token(std::string& pointer, std::string_view token);

}  // namespace velq
