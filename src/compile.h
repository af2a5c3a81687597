// The two compilers, each in one pass that writes the payload of the
// document's one entry while it compiles: JSON text (dumps, dump) and Python
// values (emit; the value compiler's rules are here, python.cpp only says
// what each object is).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/container/small_vector.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "bytes.h"
#include "encode.h"
#include "error.h"
#include "format.h"
#include "json.h"
#include "structure.h"

namespace velq {

// A string text with its hash: every string value is hashed once, however many
// tables it then visits. The text is a view; stored keys view memory that the
// table's owner keeps.
struct HashedText {
  std::string_view text;
  std::size_t hash = 0;
};

// A string hash taking sixteen bytes per step, each folded into the state by
// one wide multiply.
struct QuickTextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept;
};

// A string value as CompileBuilder keeps it: its text (a view), half of its
// hash, which spares hashing the texts again when the table grows, and its
// position in `dict` once it has one. Twenty-four bytes, always stored
// whole: left uninitialised otherwise, so that the builder's first slots
// cost nothing to make.
struct StringEntry {
  mutable const char* data;  // made a copy of the same text once stored, when the source goes
  std::size_t size;
  std::uint32_t hash;
  mutable std::uint32_t position;

  StringEntry() = default;
  StringEntry(const char* data, std::size_t size, std::uint32_t hash, std::uint32_t position)
      : data(data), size(size), hash(hash), position(position) {}
  // Copied field by field: an entry goes into the table just after it was
  // written on the stack a field at a time, and a copy in wider pieces had
  // to wait for those writes to land.
  StringEntry(const StringEntry& other)
      : data(other.data), size(other.size), hash(other.hash), position(other.position) {}
  StringEntry& operator=(const StringEntry&) = default;

  std::string_view text() const { return {data, size}; }
};

// The table takes the high bits of a hash for the place and the low ones for
// its tag: the half hash, already mixed, is spread over 64 bits by one
// multiply, which spares the table its own mixing.
struct StringEntryHash {
  using is_avalanching = void;
  std::size_t operator()(const StringEntry& entry) const noexcept {
    return entry.hash * std::uint64_t{0x9E3779B97F4A7C15};
  }
};

struct StringEntryEqual {
  bool operator()(const StringEntry& a, const StringEntry& b) const noexcept {
    return a.hash == b.hash && same_text(a.text(), b.text());
  }
};

// An object shape as CompileBuilder keeps it: where the fields of the
// definition made for it stand in the builder's field list, and their hash
// once it goes into the table.
struct ObjectShape {
  std::uint32_t first;
  std::uint32_t count;
  std::size_t hash;

  std::span<const VelqField> fields_in(const Fields& fields) const { return {fields.data() + first, count}; }
  // The shape with its hash, equal to that of the members it was made for.
  static ObjectShape of(const Fields& fields, std::uint32_t first, std::uint32_t count);
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

// Same keys byte for byte, and the same type code for each: shapes compare
// the fields they stand for in the builder's list.
struct ObjectShapeEqual {
  using is_transparent = void;
  const Fields* fields = nullptr;
  bool operator()(const ObjectShape& a, const ObjectShape& b) const noexcept;
  bool operator()(const MembersShape& a, const ObjectShape& b) const noexcept;
  bool operator()(const ObjectShape& a, const MembersShape& b) const noexcept { return (*this)(b, a); }
};

// A document of one entry, compiled: what stands in front of its payload,
// and the payload. encode_document puts them together. Names and strings
// are views: of the JSON text or the Python strs compiled, which outlive
// the document, or of `texts`.
struct CompiledDocument {
  // The payload goes into `storage` when one is given, from its start.
  explicit CompiledDocument(ByteBuffer::Storage* storage = nullptr) : payload(storage) {}
  CompiledDocument(const CompiledDocument&) = delete;
  CompiledDocument& operator=(const CompiledDocument&) = delete;

  Definitions definitions = builtin_definitions();
  Fields fields;
  Dictionary dict;
  TextStore texts;
  std::uint16_t def_index = 0;
  PayloadWriter payload;

  DocumentFront front() const { return {definitions, fields, dict, def_index}; }
};

// State of one JSON compilation: the definitions and the string dictionary the
// document collects besides its data. The maps serve lookups only; positions
// and indices come from `dict` and `next_def_index`, so the output does not
// depend on hashing.
//
// Field names and dictionary strings are views: of the JSON text `source`
// when they stand in it as they are, else of copies kept in `texts` (the
// tree, where unescaped strings live, goes before the front is written).
struct CompileBuilder {
  CompileBuilder(std::string_view source, CompiledDocument& document);
  // The shape table compares fields of this builder's list.
  CompileBuilder(const CompileBuilder&) = delete;
  CompileBuilder& operator=(const CompileBuilder&) = delete;

  // The position of a text in `strings` that has been met only once.
  static constexpr std::uint32_t kNotInDict = 0xFFFFFFFF;

  std::string_view source;
  // The document's, filled in place.
  Definitions& definitions;
  Fields& fields;
  Dictionary& dict;
  TextStore& texts;
  // The two object shapes last met in each slot, chosen by the member count
  // and the first key's length (see recent_slot): objects of one kind mostly
  // follow each other, or alternate with one other kind (the same keys, a
  // null in one of them), and are then recognised by comparing alone,
  // without hashing their keys. A shape goes into `object_shapes` only when
  // it leaves its slot, so a document of few shapes never fills the table.
  // A slot's shape is read only once its bit in `recent_taken` (the last
  // met) or `older_taken` (the one before) is set: starting a builder sets
  // two words, not the slots.
  static constexpr std::size_t kRecentShapes = 64;
  struct RecentShape {
    ObjectShape shape;
    std::uint16_t index;
    bool in_table;
  };
  std::uint64_t recent_taken = 0;
  std::uint64_t older_taken = 0;
  static_assert(kRecentShapes <= 64, "a bit of recent_taken per slot");
  std::array<RecentShape, kRecentShapes> recent_object_shapes;
  std::array<RecentShape, kRecentShapes> older_object_shapes;
  boost::unordered_flat_map<ObjectShape, std::uint16_t, ObjectShapeHash, ObjectShapeEqual> object_shapes;
  // Definition index by element type code, 0 (a built-in's) until there is one.
  std::array<std::uint16_t, 0x12> array_shapes{};
  // Every string value met so far (one lookup per occurrence), with its
  // position in `dict` from its second occurrence on: the first few in
  // `few_strings`, searched in order, then all of them in `strings`.
  std::array<StringEntry, 16> few_strings;
  std::size_t few_string_count = 0;
  boost::unordered_flat_set<StringEntry, StringEntryHash, StringEntryEqual> strings;
  std::uint16_t next_def_index = BUILTIN_DEFINITION_COUNT;

  // The first occurrence of a text stays inline (kNotInDict); the second
  // moves it into `dict`, and it is referred to by its position from then on.
  // A plain integer: as a std::optional, GCC built the result on the stack a
  // byte at a time and read it back whole, a store that could not be
  // forwarded on every string.
  std::uint32_t intern_string(std::string_view text);

  // One definition per element type.
  std::uint16_t intern_array_shape(VelqType elem_type);

  // One definition per sequence of (key, type code) pairs; members in key order.
  // Most objects take their slot's shape: that is one compare, inline; any
  // other shape is interned out of line, from the table or anew.
  std::uint16_t intern_object_shape(std::span<const JsonMember> members) {
    const std::size_t slot = recent_slot(members);
    const RecentShape& recent = recent_object_shapes[slot];
    if ((recent_taken >> slot & 1) != 0 && ObjectShapeEqual{&fields}(MembersShape{members}, recent.shape)) {
      return recent.index;
    }
    return intern_object_shape_in_slot(members, slot);
  }
  [[gnu::noinline]] std::uint16_t intern_object_shape_in_slot(std::span<const JsonMember> members, std::size_t slot);

  // The slot of an object's recent shape: one of four for its member count
  // (modulo 16), chosen by the length of its first key. Objects of different
  // kinds with as many members then seldom take each other's slot; the length
  // costs no read of the key's text.
  static std::size_t recent_slot(std::span<const JsonMember> members) {
    std::size_t slot = members.size() % (kRecentShapes / 4) * 4;
    if (!members.empty()) slot += members.front().key.size() % 4;
    return slot;
  }

  // The source goes as it is parsed (see TextPages), from the start of the
  // top-level array's items: whatever is kept of it, from the first
  // occurrence of a string value on, is a copy.
  bool source_goes = false;

  // The text itself when it stands in a source that lasts, else a kept copy.
  std::string_view lasting(std::string_view text) {
    // Compared as addresses: a view into the source lies within it.
    const auto at = reinterpret_cast<std::uintptr_t>(text.data());
    const auto begin = reinterpret_cast<std::uintptr_t>(source.data());
    if (at - begin <= source.size() && text.size() <= source.size() - (at - begin) && !source_goes) [[likely]] {
      return text;
    }
    return copied(text);
  }
  // A string value met for the first time, as the tables keep it.
  std::string_view first_met(std::string_view text) { return source_goes ? copied(text) : text; }
  // A text of the tree (unescaped), copied into `texts`; out of line, as it is rare.
  [[gnu::noinline]] std::string_view copied(std::string_view text) { return text.empty() ? text : texts.keep(text); }
};

// Parses the text and compiles it into `compiled`, which starts empty,
// refusing what the reader would refuse (check_reader_limits). The tree is
// released before this returns. `check` is asked every so many values, by
// the parser and by the compiler (see SignalPoll).
// The text must be valid UTF-8, as a Python str's is: the parser does not
// check the strings it passes through, and the reader refuses invalid ones.
//
// A top-level array of a text of `streamed_from` bytes or more is compiled
// item by item as it is parsed, each item's nodes released once it is
// compiled, so that such a text never needs its whole tree: the bytes and
// errors are the same either way. Below that size the whole tree is cheap and
// stays in the caches; above it, it costs memory, and time as it leaves them.
inline constexpr std::size_t JSON_STREAMED_FROM = std::size_t{4} << 20;
Status compile_json_to_velq(std::string_view text, CompiledDocument& compiled, SignalCheck check = nullptr,
                            std::size_t streamed_from = JSON_STREAMED_FROM);

// As above, for a text in pages of the call's own: a top-level array is
// compiled item by item whatever its size, and the pages of the items
// compiled go as the parse goes on, so that the text's memory falls while
// the document's grows. The document keeps copies of what it keeps of them
// (any other top-level value is compiled from the whole text in place).
Status compile_json_to_velq(TextPages& text, CompiledDocument& compiled, SignalCheck check = nullptr);

// Arrays must hold items of one type: the decoder reads every item with the
// array definition's element type. Both compilers report a mismatch as
// "Mixed array item at {pointer}: {found} in an array of {expected}", where
// pointer is the RFC 6901 JSON Pointer of the offending item.
VelqError mixed_array_error(std::string_view pointer, VelqType found, VelqType expected);

// The way from the compiled root down to the value being compiled, one step
// per enclosing array (an index) or object (a key), as a JSON Pointer.
class PointerPath {
 public:
  PointerPath() = default;
  PointerPath(const PointerPath&) = delete;
  PointerPath& operator=(const PointerPath&) = delete;

  void enter_array() { *++top_ = {nullptr, 0}; }
  void enter_object() { *++top_ = {"", 0}; }
  void at_index(std::size_t index) { top_->count = index; }
  void at_key(std::string_view key) { *top_ = {key.data() != nullptr ? key.data() : "", key.size()}; }
  void leave() { --top_; }
  // The pointer to item `index` of the innermost array.
  std::string pointer_to_item(std::size_t index) const;

 private:
  // An array's step has no key and counts its index; an object's step has
  // its key and counts the key's length. Sixteen bytes, set once per value.
  struct Step {
    const char* key;
    std::size_t count;
  };
  // Both compilers refuse deeper nesting before they enter it, so the path
  // never outgrows its room, which is part of the compiler.
  std::array<Step, MAX_DEPTH + 1> steps_;
  Step* top_ = steps_.data();  // the innermost step; steps_[0] stands for the root
};

// The type code the compiled node of a JSON value will have. A table and no
// branch: shapes are compared member by member, and a switch there jumped
// through a table on every member. The kinds map one to one, except that an
// unsigned integer of 2^63 or more is UInt32, Int32 with its low bit set.
inline VelqType json_type_code(const JsonValue& value) {
  static constexpr std::array<VelqType, 8> kTypes = {VelqType::Null,    VelqType::Bool,   VelqType::Int32,
                                                     VelqType::Int32,   VelqType::Float32, VelqType::String,
                                                     VelqType::Array,   VelqType::Object};
  static_assert(static_cast<int>(JsonKind::Object) == 7 &&
                static_cast<int>(VelqType::UInt32) == (static_cast<int>(VelqType::Int32) | 1));
  const auto kind = static_cast<std::uint8_t>(value.kind);
  std::uint64_t bits;  // the value's word, whichever member holds it
  std::memcpy(&bits, &value.uint, sizeof bits);
  const auto wide = static_cast<std::uint8_t>((value.kind == JsonKind::UInt) & (bits >> 63));
  return static_cast<VelqType>(static_cast<std::uint8_t>(kTypes[kind & 7]) | wide);
}


// A string of the value compiler's dictionary as its string table keeps it:
// its position in `dict` plus one (0: a free slot) and half of its hash.
// Eight bytes, so that the table of a document of many strings stays small.
struct StringSlot {
  std::uint32_t entry;
  std::uint32_t hash;
};

// The strings of the value compiler's dictionary: open addressing with
// linear probing in a table at most half full. The same node again (a key
// shared by many objects) is recognised by its identity, the source's node
// that listed it (which the source keeps alive, so that no other string can
// take its address meanwhile); another node of the same text by its text. A
// lookup ends on the text's slot or on the free slot where it belongs, so a
// text met for the first time is placed where its lookup ended rather than
// looked up a second time. The first 64 slots stand in the table
// itself: a small value makes no block.
class StringPositions {
 public:
  StringPositions() = default;
  StringPositions(const StringPositions&) = delete;
  StringPositions& operator=(const StringPositions&) = delete;

  static std::uint32_t half(std::size_t hash) { return static_cast<std::uint32_t>(hash ^ (hash >> 32)); }

  // The slot of a string: its own (listed), or the free one where it
  // belongs, which `occupy` fills.
  [[gnu::always_inline]] StringSlot& slot_for(const HashedText& text, const void* identity, std::uint32_t half,
                                              const Dictionary& dict) {
    for (std::size_t i = start(half);; i = (i + 1) & mask_) {
      StringSlot& slot = slots_[i];
      if (slot.entry == 0) return slot;
      if (slot.hash == half) {
        // Texts whose hashes match are nearly always equal.
        const std::uint32_t position = slot.entry - 1;
        if (identities_[position] == identity || same_text(text.text, dict[position])) return slot;
      }
    }
  }
  static bool listed(const StringSlot& slot) { return slot.entry != 0; }

  // Fills the free slot that slot_for returned, for the next string of `dict`.
  void occupy(StringSlot& slot, const void* identity, std::uint32_t half) {
    slot = {static_cast<std::uint32_t>(identities_.size() + 1), half};
    // Doubled when full, so that they are moved about once in all.
    if (identities_.size() == identities_.capacity()) identities_.reserve(2 * identities_.size());
    identities_.push_back(identity);
    if (2 * identities_.size() > mask_ + 1) grow();
  }

 private:
  static constexpr std::size_t kFirstSlots = 64;

  // Texts whose hashes match are nearly always equal, and then compared
  // whole: a short one, the most common, by two overlapping words rather than
  // by a call of memcmp.
  static bool same_text(std::string_view a, std::string_view b) {
    const std::size_t size = a.size();
    if (size != b.size()) return false;
    if (size > 16 || size < 4) return a == b;
    const std::size_t width = size >= 8 ? 8 : 4;
    return word(a.data(), width) == word(b.data(), width) &&
           word(a.data() + size - width, width) == word(b.data() + size - width, width);
  }
  static std::uint64_t word(const char* at, std::size_t width) {
    std::uint64_t bits = 0;
    if (width == 8) {
      std::memcpy(&bits, at, 8);
    } else {
      std::uint32_t half_word;
      std::memcpy(&half_word, at, 4);
      bits = half_word;
    }
    return bits;
  }

  std::size_t start(std::uint32_t half) const { return (half * 0x9E3779B1u) >> shift_; }

  // Twice the room, each string placed again by its hash.
  void grow();

  StringSlot first_[kFirstSlots] = {};
  std::unique_ptr<StringSlot[]> grown_;
  StringSlot* slots_ = first_;
  std::size_t mask_ = kFirstSlots - 1;
  int shift_ = 32 - std::countr_zero(kFirstSlots);
  // The node that listed each string of `dict`, by position.
  boost::container::small_vector<const void*, kFirstSlots / 2> identities_;
};

// Object shape keys are hashed only when the shape last met with as many
// values is not theirs (see DataCompiler::intern_object_shape). A lookup by
// HashedText uses the hash it brings.
struct ShapeKeyHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view key) const noexcept { return QuickTextHash{}(key); }
  std::size_t operator()(const HashedText& key) const noexcept { return key.hash; }
};

struct ShapeKeyEqual {
  using is_transparent = void;
  static std::string_view text(std::string_view key) { return key; }
  static std::string_view text(const HashedText& key) { return key.text; }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const noexcept {
    return text(a) == text(b);
  }
};

// The value compiler's tables and its rules for shapes and strings: one
// definition per distinct shape, numbered in the order the shapes are met,
// and every distinct string text listed in `dict` in first-visit order.
class DataCompiler {
 public:
  explicit DataCompiler(CompiledDocument& document);
  DataCompiler(const DataCompiler&) = delete;
  DataCompiler& operator=(const DataCompiler&) = delete;

  // The definition of the arrays of one element type, created on first use.
  std::uint16_t intern_array_shape(VelqType elem_type) {
    std::uint16_t& known = array_shapes[static_cast<std::uint8_t>(elem_type)];
    if (known == 0) known = create_array_definition(elem_type);
    return known;
  }

  // The definition of an object shape key (see ObjectShapeKeys), created on
  // first use with fields "f0", "f1", ... of the key's types.
  std::uint16_t intern_object_shape(std::string_view key);

  // The slot of a string in the string table: listed already, or where it
  // goes (see list_string). `identity` is the source's node.
  [[gnu::always_inline]] StringSlot& string_slot(const HashedText& text, const void* identity) {
    return string_positions.slot_for(text, identity, StringPositions::half(text.hash), dict);
  }

  // Lists a string that string_slot found missing, whose text `kept` stays
  // valid as long as the compiler is used.
  void list_string(StringSlot& slot, const HashedText& text, const void* identity, std::string_view kept) {
    // Doubled when full, so that the texts are moved about once in all.
    if (dict.size() == dict.capacity()) dict.reserve(2 * dict.size());
    dict.emplace_back(kept.data(), kept.size());  // in place: a copy would stall (see add_field)
    string_positions.occupy(slot, identity, StringPositions::half(text.hash));
  }

  // The document's, filled in place.
  Definitions& definitions;
  Fields& fields;
  Dictionary& dict;
  TextStore& texts;  // field names beyond the constant ones
  // Where an object shape's definition stands, and its index.
  struct ShapeDefinition {
    std::uint32_t position = 0;
    std::uint16_t index = 0;
  };
  // Object shapes by the type codes of their values, in order: the one last
  // met for each value count (modulo the table size) in its slot, compared
  // with its definition's field types; the others in `object_shapes`, which
  // a document of few shapes never fills.
  struct RecentShape {
    ShapeDefinition definition;
    bool used = false;
    bool in_table = false;
  };
  std::array<RecentShape, 16> recent_object_shapes{};
  boost::unordered_flat_map<std::string, ShapeDefinition, ShapeKeyHash, ShapeKeyEqual> object_shapes;
  // Array shapes by element type code; 0 until there is one.
  std::array<std::uint16_t, 0x12> array_shapes{};
  // Every text of `dict`, found by text, once there are more than the first few.
  StringPositions string_positions;
  std::uint16_t next_def_index = BUILTIN_DEFINITION_COUNT;

 private:
  // Field `i` of an object definition: "f{i}", a view into FIELD_NAMES up to
  // the most fields an object may have (an object of more is refused).
  std::string_view field_name(std::size_t i) {
    const std::size_t length = i < 10 ? 2 : i < 100 ? 3 : 4;
    if (i < FIELD_NAME_COUNT) [[likely]] return {FIELD_NAMES.data() + FIELD_NAME_WIDTH * i, length};
    return named_beyond_constants(i);
  }
  [[gnu::noinline, gnu::cold]] std::string_view named_beyond_constants(std::size_t i);
  static constexpr std::size_t FIELD_NAME_COUNT = MAX_OBJECT_FIELDS;
  static constexpr std::size_t FIELD_NAME_WIDTH = 4;
  // "f0", "f1", ... each in four bytes.
  static constexpr std::array<char, FIELD_NAME_WIDTH * FIELD_NAME_COUNT> FIELD_NAMES = [] {
    static_assert(FIELD_NAME_COUNT <= 1000);
    std::array<char, FIELD_NAME_WIDTH * FIELD_NAME_COUNT> names{};
    for (std::size_t i = 0; i < FIELD_NAME_COUNT; ++i) {
      char* name = names.data() + FIELD_NAME_WIDTH * i;
      name[0] = 'f';
      const std::size_t digits = i < 10 ? 1 : i < 100 ? 2 : 3;
      for (std::size_t d = 0, rest = i; d < digits; ++d, rest /= 10) {
        name[digits - d] = static_cast<char>('0' + rest % 10);
      }
    }
    return names;
  }();
  bool has_shape(const RecentShape& recent, std::string_view types) const;
  void leave_slot(const RecentShape& recent);

  std::uint16_t create_definition(VelqType kind);
  std::uint16_t create_array_definition(VelqType elem_type);
};

// An object shape key is the sequence of its values' type codes. The keys of
// the objects being compiled are built value by value; a nested object's key
// is built behind its parent's unfinished one and removed when complete, so
// one buffer serves every level.
class ObjectShapeKeys {
 public:
  // Starts the key of a new innermost object of about `values` values.
  void begin(std::size_t values) {
    if (size_ + values > buffer_.size()) buffer_.resize(2 * (size_ + values));
    marks_.push_back(size_);
  }
  // One more value of the innermost object.
  void add(VelqType type) {
    if (size_ == buffer_.size()) [[unlikely]] buffer_.resize(2 * buffer_.size() + 16);
    buffer_[size_++] = static_cast<char>(type);
  }
  // The innermost key, complete.
  std::string_view key() const { return {buffer_.data() + marks_.back(), size_ - marks_.back()}; }
  void end() {
    size_ = marks_.back();
    marks_.pop_back();
  }

 private:
  // Codes of the open keys: the first size_ bytes, each key from its mark.
  boost::container::small_vector<char, 256> buffer_;
  std::size_t size_ = 0;
  boost::container::small_vector<std::size_t, 16> marks_;
};

// What a source of the value compiler says a value is. A source sets `type`
// and the members that type calls for, and only those: the struct is filled
// once per value, so it is left uninitialised otherwise.
struct SourceValue {
  VelqType type;
  bool boolean;
  // Int32: the whole value, of which the data keeps the low 32 bits (it is
  // needed whole if the array widens to floats).
  std::int64_t integer;
  float number;
  // String: the text. In a union, so that it too is left unset (a view
  // would otherwise be zeroed for every value).
  union {
    HashedText text;
  };
  // Array, Object: how many items or values it holds (for the room to make).
  std::size_t size;

  SourceValue() {}
};

// The value compiler's rules over one walk of a value from `Source` (Python
// objects), written as the payload. A source gives:
//   Node: a pointer to one value; a string's, once kept, is its identity;
//   classify(node, value): what the node is, false when the source failed;
//   for_each_item(node, level, item): each item of an array, in order;
//   for_each_member(node, level, key, value): an object's values in order,
//     each preceded by its key, which is a string value of its own (level:
//     how deep the array or object is nested, 1 for the root);
//   keep(node, text): a view of a string's text that lives as long as the
//     source, which keeps the node too.
// The value is checked against what the reader accepts: nesting, and items of
// one type (integers widened to floats beside floats, other mixes refused).
// The source's own failures (false from its functions) end the walk with
// nothing recorded here; the compiler's refusals are recorded in refusal().
template <class Source>
class ValueCompiler {
 public:
  using Node = typename Source::Node;

  ValueCompiler(DataCompiler& tables, Source& source, PayloadWriter& out)
      : tables_(tables), source_(source), out_(out) {}

  // Compiles the root; `def_index` receives its entry's definition.
  bool compile(Node root, std::uint16_t& def_index) {
    SourceValue value;
    if (!source_.classify(root, value)) return false;
    if (value.type == VelqType::Array || value.type == VelqType::Object) {
      return compound(root, value, 0, def_index);
    }
    scalar(root, value);
    def_index = static_cast<std::uint16_t>(value.type);
    return true;
  }

  std::optional<VelqError>& refusal() { return refusal_; }

 private:
  // An Int32 item outside the Int32 range, with its whole value.
  struct WideInteger {
    std::size_t position;
    std::int64_t value;
  };

  void scalar(Node node, const SourceValue& value) {
    switch (value.type) {
      case VelqType::Bool: out_.boolean(value.boolean); return;
      case VelqType::Int32: out_.int32(static_cast<std::int32_t>(static_cast<std::uint32_t>(value.integer))); return;
      case VelqType::Float32: out_.float32(value.number); return;
      case VelqType::String: string(node, value.text); return;
      default: return;
    }
  }

  // A string value, a key above all: mostly one already listed, often by
  // the same node, which is then written without a call. Listing one takes
  // the call, so that the common case does not pay for that call's frame.
  [[gnu::always_inline]] void string(Node node, const HashedText& text) {
    StringSlot& slot = tables_.string_slot(text, node);
    if (!StringPositions::listed(slot)) [[unlikely]] list(node, text, slot);
    out_.string(text.text);
  }

  [[gnu::noinline]] void list(Node node, const HashedText& text, StringSlot& slot) {
    tables_.list_string(slot, text, node, source_.keep(node, text));
  }

  // Compiles a classified value at nesting `depth` (0 for the root). Numbers
  // and strings already listed, the bulk of most documents, are written here
  // without a call: this is inlined into the loops over items and values.
  [[gnu::always_inline]] bool value(Node node, const SourceValue& value, std::size_t depth) {
    switch (value.type) {
      case VelqType::Float32: out_.float32(value.number); return true;
      case VelqType::Int32:
        out_.int32(static_cast<std::int32_t>(static_cast<std::uint32_t>(value.integer)));
        return true;
      case VelqType::String: string(node, value.text); return true;
      case VelqType::Array:
      case VelqType::Object: {
        std::uint16_t ignored;
        return compound(node, value, depth, ignored);
      }
      default: scalar(node, value); return true;
    }
  }

  [[gnu::always_inline]] bool compound(Node node, const SourceValue& value, std::size_t depth,
                                       std::uint16_t& def_index) {
    if (depth + 1 > MAX_DEPTH) [[unlikely]] return refuse(VelqError{nesting_too_deep_message(value.type)});
    return value.type == VelqType::Array ? array(node, depth + 1, def_index) : object(node, value, depth + 1, def_index);
  }

  // An array's definition comes before its items, with the element type of
  // its first item. Only an Int32 first item can still change (when the
  // items widen to floats), and then nothing inside the array defines
  // anything, so its definition waits until the end without changing the
  // numbering.
  bool array(Node node, std::size_t level, std::uint16_t& def_index) {
    const std::size_t at = out_.begin_array();
    ItemTypes types{VelqType::Null, 0, 0, ItemTypes::kNone};
    bool defined = false;
    std::size_t count = 0;
    path_.enter_array();
    const bool walked = source_.for_each_item(node, level, [&](Node item) {
      path_.at_index(count);
      SourceValue value;
      if (!source_.classify(item, value)) return false;
      if (count == 0) {
        types.first = value.type;
        if (value.type != VelqType::Int32) {
          def_index = tables_.intern_array_shape(value.type);
          defined = true;
        }
      }
      types.note(item_types_, count, value.type);
      if (value.type == VelqType::Int32 && value.integer != static_cast<std::int32_t>(value.integer)) [[unlikely]] {
        if (types.wide_mark == ItemTypes::kNone) types.wide_mark = wide_integers_.size();
        wide_integers_.push_back({count, value.integer});
      }
      ++count;
      return this->value(item, value, level);
    });
    path_.leave();
    if (!walked) return false;
    VelqType elem_type = types.first;
    if (types.deviation != 0 && !settle_items(at, count, types, elem_type)) return false;
    // What this array recorded goes; its nested arrays took back their own.
    if (types.deviation != 0) item_types_.resize(types.mark);
    if (types.wide_mark != ItemTypes::kNone) wide_integers_.resize(types.wide_mark);
    if (!defined) def_index = tables_.intern_array_shape(elem_type);
    out_.end_array(at, def_index, def_index, count);
    return true;
  }

  // The item types of an array being compiled: those of the items up to the
  // first one of another type than the first are that type; only from there
  // on is each recorded (in item_types_, from `mark`). Its integers beyond
  // Int32 are in wide_integers_ from `wide_mark`, once there is one. Both
  // marks are taken when first needed, so that an array of one type, the
  // common case, does not touch either vector.
  struct ItemTypes {
    static constexpr std::size_t kNone = ~std::size_t{0};
    VelqType first;
    std::size_t deviation;  // index of the first item of another type, 0 while there is none
    std::size_t mark;
    std::size_t wide_mark;  // kNone while there is no wide integer

    void note(std::vector<VelqType>& recorded, std::size_t index, VelqType type) {
      if (deviation == 0 && type != first) [[unlikely]] {
        deviation = index;
        mark = recorded.size();
      }
      if (deviation != 0) recorded.push_back(type);
    }
    VelqType at(const std::vector<VelqType>& recorded, std::size_t index) const {
      return index < deviation ? first : recorded[mark + index - deviation];
    }
  };

  // Items of more than one type: numbers mixing integers and floats all
  // become floats (each integer rounded once, from its whole value); any
  // other mix is refused, naming the first item that differs from the first.
  bool settle_items(std::size_t at, std::size_t count, const ItemTypes& types, VelqType& elem_type) {
    bool all_numbers = true;
    bool any_float = false;
    for (std::size_t i = 0; i < count && all_numbers; ++i) {
      const VelqType type = types.at(item_types_, i);
      any_float = any_float || type == VelqType::Float32;
      all_numbers = type == VelqType::Float32 || type == VelqType::Int32;
    }
    if (all_numbers && any_float) {
      auto wide = types.wide_mark == ItemTypes::kNone
                      ? wide_integers_.end()
                      : wide_integers_.begin() + static_cast<std::ptrdiff_t>(types.wide_mark);
      for (std::size_t i = 0; i < count; ++i) {
        if (types.at(item_types_, i) != VelqType::Int32) continue;
        std::int64_t whole = static_cast<std::int32_t>(out_.item_bits(at, i));
        if (wide != wide_integers_.end() && wide->position == i) whole = (wide++)->value;
        out_.rewrite_item_as_float32(at, i, static_cast<float>(whole));
      }
      elem_type = VelqType::Float32;
      return true;
    }
    const VelqType found = types.at(item_types_, types.deviation);
    return refuse(mixed_array_error(path_.pointer_to_item(types.deviation), found, types.first));
  }

  // An object's definition comes after its values.
  bool object(Node node, const SourceValue& object_value, std::size_t level, std::uint16_t& def_index) {
    const std::size_t at = out_.begin_object();
    keys_.begin(object_value.size);
    path_.enter_object();
    const bool walked = source_.for_each_member(
        node, level,
        [&](Node key_node, const SourceValue& key) {
          path_.at_key(key.text.text);
          keys_.add(VelqType::String);
          string(key_node, key.text);
        },
        [&](Node member) {
          SourceValue value;
          if (!source_.classify(member, value)) return false;
          keys_.add(value.type);
          return this->value(member, value, level);
        });
    path_.leave();
    if (!walked) return false;
    def_index = tables_.intern_object_shape(keys_.key());
    keys_.end();
    out_.end_object(at, def_index);
    return true;
  }

  [[gnu::cold]] bool refuse(VelqError error) {
    refusal_ = std::move(error);
    return false;
  }

  DataCompiler& tables_;
  Source& source_;
  PayloadWriter& out_;
  ObjectShapeKeys keys_;
  PointerPath path_;
  std::vector<VelqType> item_types_;
  std::vector<WideInteger> wide_integers_;
  std::optional<VelqError> refusal_;
};

// Room for a payload guessed at `guess` bytes: a quarter more, so that a
// guess a little short does not double the block at the end.
inline std::size_t expected_payload_size(std::size_t guess) { return 1024 + guess + guess / 4; }

// The payload's first room: a small value never needs more (a large first
// block costs it more than its whole conversion); a storage that holds more
// makes its room from its own guess when the payload outgrows this.
inline constexpr std::size_t FIRST_PAYLOAD_ROOM = 1024;

// A value compiled in one pass into `compiled`, which starts empty; refused
// when the reader would refuse it (check_reader_limits). When the source
// failed, its own error stands: the error returned is then an interruption.
template <class Source>
Status compile_value_to_velq(Source& source, typename Source::Node root, CompiledDocument& compiled) {
  DataCompiler tables(compiled);
  compiled.payload.reserve(FIRST_PAYLOAD_ROOM);
  ValueCompiler<Source> compiler(tables, source, compiled.payload);
  if (!compiler.compile(root, compiled.def_index)) {
    if (!compiler.refusal()) return VelqError::interruption();
    return std::move(*compiler.refusal());
  }
  return check_reader_limits(compiled.definitions);
}

}  // namespace velq
