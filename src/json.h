// The JSON value tree that the JSON compiler reads, and the JSON text parser
// that builds it.
//
// Nodes are small and trivially destructible. Arrays, object members and
// unescaped string copies live in a JsonArena that the caller owns;
// strings may also point into the parsed text, which must outlive the tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <span>
#include <string_view>

#include "error.h"

namespace velq {

enum class JsonKind : std::uint8_t {
  Null,
  Bool,
  UInt,    // non-negative integer, unsigned 64-bit
  Int,     // negative integer, signed 64-bit
  Double,  // finite 64-bit float (also the text -0)
  String,
  Array,
  Object,
};

struct JsonMember;

// Sixteen bytes: the kind shares a word with the size, which leaves 56 bits
// for it (every string and array a process can hold).
struct JsonValue {
  JsonKind kind : 8 = JsonKind::Null;
  std::size_t size : 56 = 0;  // string bytes, array items or object members
  union {
    bool boolean;
    std::uint64_t uint;
    std::int64_t sint;
    double dbl;
    const char* str;
    const JsonValue* items;
    const JsonMember* members;
  };

  JsonValue() : uint(0) {}

  static JsonValue null() { return {}; }
  static JsonValue from_bool(bool b) { JsonValue v; v.kind = JsonKind::Bool; v.boolean = b; return v; }
  static JsonValue from_uint(std::uint64_t u) { JsonValue v; v.kind = JsonKind::UInt; v.uint = u; return v; }
  static JsonValue from_int(std::int64_t i) { JsonValue v; v.kind = JsonKind::Int; v.sint = i; return v; }
  static JsonValue from_double(double d) { JsonValue v; v.kind = JsonKind::Double; v.dbl = d; return v; }
  static JsonValue from_string(std::string_view s) {
    JsonValue v; v.kind = JsonKind::String; v.str = s.data(); v.size = s.size(); return v;
  }
  static JsonValue from_array(const JsonValue* items, std::size_t n) {
    JsonValue v; v.kind = JsonKind::Array; v.items = items; v.size = n; return v;
  }
  // The members must already be in key order without duplicates (see sort_members).
  static JsonValue from_object(const JsonMember* members, std::size_t n) {
    JsonValue v; v.kind = JsonKind::Object; v.members = members; v.size = n; return v;
  }

  std::string_view string() const { return {str, size}; }
  std::span<const JsonValue> array() const { return {items, size}; }
  std::span<const JsonMember> object() const;  // defined below JsonMember
};

struct JsonMember {
  std::string_view key;
  JsonValue value;
};

inline std::span<const JsonMember> JsonValue::object() const { return {members, size}; }

// Puts members into ascending byte order of their keys; of equal keys the one
// that came last wins. Returns the number of members kept (at the front).
std::size_t sort_members(JsonMember* members, std::size_t count);

static_assert(sizeof(JsonValue) == 16);

// Bump allocation for one tree; everything is released at once, or back to
// a mark. Blocks grow to a bounded size, so at most one block's tail is left
// unused however large the tree; a request larger than a block gets one of
// its own. Unescaped string texts live in a region of their own that is
// never released early: what the compiler keeps of a released subtree
// (strings it has seen) may still point there.
class JsonArena {
 public:
  JsonArena() noexcept : cursor_(first_block_), limit_(first_block_ + sizeof first_block_) {}
  JsonArena(const JsonArena&) = delete;
  JsonArena& operator=(const JsonArena&) = delete;
  ~JsonArena();

  JsonMember* new_members(std::size_t count);
  std::string_view copy_string(std::string_view text);
  // One allocation holding copies of finished items or members; nullptr when
  // empty. Inline: the parser calls them once per container.
  JsonValue* copy_values(std::span<const JsonValue> values) { return copy_nodes(values); }
  JsonMember* copy_members(std::span<const JsonMember> members) { return copy_nodes(members); }

  // Where the nodes end now: release_to frees every node allocated after it.
  struct Mark {
    void* blocks;
    char* cursor;
    char* limit;
    std::size_t next_block;
  };
  Mark mark() const { return {blocks_, cursor_, limit_, next_block_}; }
  void release_to(const Mark& mark);

 private:
  struct Block {
    Block* previous;
  };

  // `bytes` at an address aligned for every node type.
  void* allocate(std::size_t bytes) {
    bytes = (bytes + kAlignment - 1) & ~(kAlignment - 1);
    if (static_cast<std::size_t>(limit_ - cursor_) < bytes) [[unlikely]] return allocate_elsewhere(bytes);
    void* at = cursor_;
    cursor_ += bytes;
    return at;
  }
  void* allocate_elsewhere(std::size_t bytes);
  template <class Node>
  [[gnu::always_inline]] Node* copy_nodes(std::span<const Node> nodes) {
    if (nodes.empty()) return nullptr;
    void* raw = allocate(nodes.size_bytes());
    std::memcpy(raw, nodes.data(), nodes.size_bytes());
    return static_cast<Node*>(raw);
  }
  char* new_block(std::size_t bytes);

  static constexpr std::size_t kAlignment = 8;  // of JsonValue and JsonMember
  static constexpr std::size_t kFirstBlock = 16 * 1024;
  static constexpr std::size_t kLargestBlock = 1024 * 1024;

  // The first block lives in the arena itself, so that a small document's
  // tree needs no allocation of its own.
  alignas(kAlignment) char first_block_[2048];
  Block* blocks_ = nullptr;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
  std::size_t next_block_ = kFirstBlock;
  // Made at the first escaped string: most texts have none.
  std::unique_ptr<JsonArena> texts_;
};

// Parses one JSON value (RFC 8259) from UTF-8 text into a tree whose nodes
// live in `arena`; strings of the tree may point into `text`. Both must
// outlive the result. On failure the message is "{description} at line
// {line} column {column}". `check` is asked every so many array items and
// object members (see SignalPoll).
Result<JsonValue> parse_json(std::string_view text, JsonArena& arena, SignalCheck check = nullptr);

// What a parse met so far, for sizing the tables that compile the tree.
struct JsonCounts {
  std::size_t strings = 0;  // string values, keys not included
  std::size_t bytes = 0;    // of the text, up to where the parse stands
};

// Takes the items of a top-level array as soon as they are parsed, in order:
// scalars in batches, each array or object as it ends (with the scalars
// before it). The parser then releases the nodes of what it handed over, so
// that a long array of records never needs the tree of more than one.
class JsonItemSink {
 public:
  // Called once, when the top-level value turns out to be an array.
  virtual void begin_items() = 0;
  // The next items. False stops the parse as interrupted (see SignalPoll).
  virtual bool items(std::span<const JsonValue> items, const JsonCounts& so_far) = 0;

 protected:
  ~JsonItemSink() = default;
};

class TextPages;

// As above, and counts what it met. When `root_items` is given and the
// top-level value is an array, its items go there instead of into the tree:
// the result is then an array of their count with no items. When `pages`
// hold the text as well, the pages before what was handed over go as the
// parse goes on (see TextPages): the sink must keep copies of what it keeps.
Result<JsonValue> parse_json(std::string_view text, JsonArena& arena, JsonCounts& counts, SignalCheck check = nullptr,
                             JsonItemSink* root_items = nullptr, TextPages* pages = nullptr);

// Nesting limit of the parser: the 128th nested array or object fails.
inline constexpr std::size_t JSON_MAX_NESTING = 127;

}  // namespace velq
