#include "compile.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "pages.h"

namespace velq {

VelqError mixed_array_error(std::string_view pointer, VelqType found, VelqType expected) {
  std::string message = "Mixed array item at ";
  message.append(pointer);
  message.append(": ");
  message.append(type_name(found));
  message.append(" in an array of ");
  message.append(type_name(expected));
  return VelqError{std::move(message)};
}

namespace {

// Appends "/" and one reference token, escaping "~" as "~0" and "/" as "~1".
void append_pointer_token(std::string& pointer, std::string_view token) {
  pointer.push_back('/');
  for (char c : token) {
    if (c == '~') {
      pointer.append("~0");
    } else if (c == '/') {
      pointer.append("~1");
    } else {
      pointer.push_back(c);
    }
  }
}

}  // namespace

std::string PointerPath::pointer_to_item(std::size_t index) const {
  std::string pointer;
  for (const Step* step_at = steps_.data() + 1; step_at <= top_; ++step_at) {
    const Step& step = *step_at;
    append_pointer_token(pointer, step.key == nullptr ? std::to_string(step.count)
                                                     : std::string(step.key, step.count));
  }
  append_pointer_token(pointer, std::to_string(index));
  return pointer;
}

// ---------------------------------------------------------------------------
// JSON compiler

namespace {

bool is_number(JsonKind kind) {
  return kind == JsonKind::UInt || kind == JsonKind::Int || kind == JsonKind::Double;
}

// Low 32 bits, read as two's complement.
std::int32_t low_int32(std::uint64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// Nearest float32 to the exact 64-bit value, in one rounding.
float integer_as_float(const JsonValue& value) {
  return value.kind == JsonKind::Int ? static_cast<float>(value.sint) : static_cast<float>(value.uint);
}

// What a parent needs of a compiled value: its type code, the definition an
// entry of it records (an array's or object's own, a primitive's built-in
// one) and the one an array records when the value is its first item (an
// array's element definition, an object's own, a primitive's built-in one).
struct NodeRefs {
  VelqType type = VelqType::Null;
  std::uint16_t self_def_index = 0;
  std::uint16_t elem_def_index = 0;

  static NodeRefs primitive(VelqType type) {
    const auto index = static_cast<std::uint16_t>(type);
    return {type, index, index};
  }
};

// The recursive compilation of one JSON value into the payload. Errors are
// kept here rather than returned per value, so the common path carries no
// Result.
class JsonValueCompiler {
 public:
  JsonValueCompiler(CompileBuilder& builder, SignalCheck check) : builder_(builder), signals_(check) {}

  // Writes the value to `out` and tells what its parent needs of it; false
  // after a failure, which take_error() then holds. (The writer is passed
  // along rather than kept: a member would be loaded again after every byte
  // written.)
  bool append(const JsonValue& value, PayloadWriter& out, NodeRefs& refs);

  VelqError take_error() { return std::move(error_); }

  // An array compiled one item at a time: begin_array, append_item for each
  // item, end_array. (append_array does so for an array of the tree; the
  // top-level array of a text gets its items as they are parsed.)
  struct ArrayInProgress {
    std::size_t at;
    NodeRefs first = NodeRefs::primitive(VelqType::Null);
    bool uniform = true;
    std::size_t count = 0;
  };
  [[gnu::always_inline]] inline ArrayInProgress begin_array(PayloadWriter& out);
  [[gnu::always_inline]] inline bool append_item(ArrayInProgress& array, const JsonValue& item, PayloadWriter& out);
  [[gnu::always_inline]] inline bool end_array(ArrayInProgress array, std::span<const JsonValue> items, PayloadWriter& out,
                                               NodeRefs& refs);
  // After an interruption, no more is compiled.
  bool was_interrupted() const { return error_.interrupted; }

 private:
  // A value that is neither an array nor an object: written here without a
  // call, as most members and items are.
  [[gnu::always_inline]] inline void append_scalar(const JsonValue& value, PayloadWriter& out, NodeRefs& refs);
  // Any value: a scalar inline, an array or object by a call.
  [[gnu::always_inline]] bool append_member(const JsonValue& value, PayloadWriter& out, NodeRefs& refs) {
    if (value.kind == JsonKind::Array || value.kind == JsonKind::Object) return append(value, out, refs);
    append_scalar(value, out, refs);
    return true;
  }
  bool append_array(const JsonValue& value, PayloadWriter& out, NodeRefs& refs);
  bool append_object(const JsonValue& value, PayloadWriter& out, NodeRefs& refs);
  bool settle_mixed_items(std::span<const JsonValue> items, PayloadWriter& out, std::size_t at,
                          VelqType& elem_type);
  [[gnu::cold]] bool interrupted() {
    error_ = VelqError::interruption();
    return false;
  }

  CompileBuilder& builder_;
  SignalPoll signals_;
  PointerPath path_;
  VelqError error_;
};

bool JsonValueCompiler::append(const JsonValue& value, PayloadWriter& out, NodeRefs& refs) {
  if (value.kind == JsonKind::Array) return append_array(value, out, refs);
  if (value.kind == JsonKind::Object) return append_object(value, out, refs);
  append_scalar(value, out, refs);
  return true;
}

void JsonValueCompiler::append_scalar(const JsonValue& value, PayloadWriter& out, NodeRefs& refs) {
  switch (value.kind) {
    case JsonKind::Null:
      refs = NodeRefs::primitive(VelqType::Null);
      return;
    case JsonKind::Bool:
      out.boolean(value.boolean);
      refs = NodeRefs::primitive(VelqType::Bool);
      return;
    case JsonKind::UInt:
      if (value.uint >> 63) {
        out.uint32(static_cast<std::uint32_t>(value.uint));
        refs = NodeRefs::primitive(VelqType::UInt32);
      } else {
        out.int32(low_int32(value.uint));
        refs = NodeRefs::primitive(VelqType::Int32);
      }
      return;
    case JsonKind::Int:
      out.int32(low_int32(static_cast<std::uint64_t>(value.sint)));
      refs = NodeRefs::primitive(VelqType::Int32);
      return;
    case JsonKind::Double:
      // Beyond the float range the conversion gives infinity (IEEE rounding).
      out.float32(static_cast<float>(value.dbl));
      refs = NodeRefs::primitive(VelqType::Float32);
      return;
    case JsonKind::String:
      if (const std::uint32_t position = builder_.intern_string(value.string());
          position != CompileBuilder::kNotInDict) {
        out.str_ref(position);
      } else {
        out.string(value.string());
      }
      refs = NodeRefs::primitive(VelqType::String);
      return;
    case JsonKind::Array:
    case JsonKind::Object: return;  // see append
  }
}

bool JsonValueCompiler::append_array(const JsonValue& value, PayloadWriter& out, NodeRefs& refs) {
  std::span<const JsonValue> items = value.array();
  // The bookkeeping of append_item, in locals of this loop: kept in a record
  // that the loop updates through a reference, it stayed in memory under
  // clang (the portable wheels), and dumps of che-1.geo.json, whose arrays
  // are pairs of numbers, took a third longer.
  ArrayInProgress array = begin_array(out);
  NodeRefs first = array.first;
  bool uniform = true;
  if (!signals_.poll(items.size() + 1)) [[unlikely]] return interrupted();
  for (std::size_t i = 0; i < items.size(); ++i) {
    path_.at_index(i);
    NodeRefs item;
    if (!append_member(items[i], out, item)) return false;
    if (i == 0) {
      first = item;
    } else if (item.type != first.type) {
      uniform = false;
    }
  }
  return end_array({array.at, first, uniform, items.size()}, items, out, refs);
}

JsonValueCompiler::ArrayInProgress JsonValueCompiler::begin_array(PayloadWriter& out) {
  ArrayInProgress array{out.begin_array()};
  path_.enter_array();
  return array;
}

bool JsonValueCompiler::append_item(ArrayInProgress& array, const JsonValue& item, PayloadWriter& out) {
  path_.at_index(array.count);
  NodeRefs refs;
  if (!append_member(item, out, refs)) return false;
  if (array.count == 0) {
    array.first = refs;
  } else if (refs.type != array.first.type) {
    array.uniform = false;
  }
  ++array.count;
  return true;
}

// `items` are those appended, of which settling mixed items reads the kinds
// and the values of integers alone.
bool JsonValueCompiler::end_array(ArrayInProgress array, std::span<const JsonValue> items, PayloadWriter& out,
                                  NodeRefs& refs) {
  path_.leave();
  // Uniform items: the element type and definition are the first item's
  // (an array of nulls only, or of nothing, records Null).
  VelqType elem_type = array.first.type;
  std::uint16_t elem_def_index = array.first.elem_def_index;
  if (!array.uniform) {
    if (!settle_mixed_items(items, out, array.at, elem_type)) return false;
    // Only widened numbers get here: every item is now a Float32.
    elem_def_index = static_cast<std::uint16_t>(elem_type);
  }

  const std::uint16_t self = builder_.intern_array_shape(elem_type);
  out.end_array(array.at, self, elem_def_index, array.count);
  refs = {VelqType::Array, self, elem_def_index};
  return true;
}

// Items of different type codes: integers widen to Float32 when every
// non-null item is a number and one of them a double; after that every item
// must have the element type (that of the first non-null item).
bool JsonValueCompiler::settle_mixed_items(std::span<const JsonValue> items, PayloadWriter& out, std::size_t at,
                                           VelqType& elem_type) {
  elem_type = VelqType::Null;
  bool all_numbers = true;
  bool any_double = false;
  for (const JsonValue& item : items) {
    if (item.kind == JsonKind::Null) continue;
    if (elem_type == VelqType::Null) elem_type = json_type_code(item);
    all_numbers = all_numbers && is_number(item.kind);
    any_double = any_double || item.kind == JsonKind::Double;
  }
  bool widen = all_numbers && any_double;
  if (widen) elem_type = VelqType::Float32;

  for (std::size_t i = 0; i < items.size(); ++i) {
    const JsonValue& item = items[i];
    VelqType found = json_type_code(item);
    if (widen && (item.kind == JsonKind::UInt || item.kind == JsonKind::Int)) {
      out.rewrite_item_as_float32(at, i, integer_as_float(item));
      found = VelqType::Float32;
    }
    if (found != elem_type) {
      error_ = mixed_array_error(path_.pointer_to_item(i), found, elem_type);
      return false;
    }
  }
  return true;
}

bool JsonValueCompiler::append_object(const JsonValue& value, PayloadWriter& out, NodeRefs& refs) {
  std::span<const JsonMember> members = value.object();
  if (!signals_.poll(members.size() + 1)) [[unlikely]] return interrupted();
  const std::size_t at = out.begin_object();

  path_.enter_object();
  for (const JsonMember& member : members) {
    path_.at_key(member.key);
    NodeRefs ignored;
    if (!append_member(member.value, out, ignored)) return false;
  }
  path_.leave();

  const std::uint16_t self_def_index = builder_.intern_object_shape(members);
  out.end_object(at, self_def_index);
  refs = {VelqType::Object, self_def_index, self_def_index};
  return true;
}

constexpr std::uint64_t kShapeHashStep = 0x9E3779B97F4A7C15ull;

}  // namespace

CompileBuilder::CompileBuilder(std::string_view source, CompiledDocument& document)
    : source(source),
      definitions(document.definitions),
      fields(document.fields),
      dict(document.dict),
      texts(document.texts),
      object_shapes(0, ObjectShapeHash{}, ObjectShapeEqual{&document.fields}) {}

std::uint32_t CompileBuilder::intern_string(std::string_view text) {
  const std::uint64_t hash = QuickTextHash{}(text);
  const auto half_hash = static_cast<std::uint32_t>(hash ^ (hash >> 32));
  const StringEntry* entry = nullptr;
  if (strings.empty()) {
    for (std::size_t i = 0; i < few_string_count; ++i) {
      if (few_strings[i].hash == half_hash && same_text(few_strings[i].text(), text)) {
        entry = &few_strings[i];
        break;
      }
    }
    if (entry == nullptr && few_string_count < few_strings.size()) {
      few_strings[few_string_count++] = {first_met(text).data(), text.size(), half_hash, kNotInDict};
      return kNotInDict;
    }
    if (entry == nullptr) strings.insert(few_strings.begin(), few_strings.end());
  }
  if (entry == nullptr) {
    auto [found, first_occurrence] = strings.insert(StringEntry{text.data(), text.size(), half_hash, kNotInDict});
    if (first_occurrence) {
      if (source_goes) [[unlikely]] found->data = copied(text).data();
      return kNotInDict;
    }
    entry = &*found;
  }
  if (entry->position == kNotInDict) {
    entry->position = static_cast<std::uint32_t>(dict.size());
    dict.push_back(source_goes ? entry->text() : lasting(text));
  }
  return entry->position;
}

std::uint16_t CompileBuilder::intern_array_shape(VelqType elem_type) {
  const auto code = static_cast<std::uint8_t>(elem_type);
  if (array_shapes[code] != 0) return array_shapes[code];
  const std::uint16_t index = next_def_index++;
  VelqDefinition& definition = definitions.emplace_back();
  definition.index = index;
  definition.kind = VelqType::Array;
  definition.elem_type = elem_type;
  array_shapes[code] = index;
  return index;
}

namespace {

// One (key, type code) pair more in an object shape's hash, which starts
// at the member count.
std::uint64_t shape_hash_step(std::uint64_t hash, std::string_view key, VelqType type) {
  return (hash ^ QuickTextHash{}(key)) * kShapeHashStep + static_cast<std::uint64_t>(type);
}

}  // namespace

MembersShape MembersShape::of(std::span<const JsonMember> members) {
  std::uint64_t hash = members.size();
  for (const JsonMember& member : members) hash = shape_hash_step(hash, member.key, json_type_code(member.value));
  return {members, static_cast<std::size_t>(hash)};
}

ObjectShape ObjectShape::of(const Fields& fields, std::uint32_t first, std::uint32_t count) {
  std::uint64_t hash = count;
  for (std::uint32_t i = first; i < first + count; ++i) hash = shape_hash_step(hash, fields[i].name, fields[i].type);
  return {first, count, static_cast<std::size_t>(hash)};
}

bool ObjectShapeEqual::operator()(const ObjectShape& a, const ObjectShape& b) const noexcept {
  const std::span<const VelqField> a_fields = a.fields_in(*fields);
  const std::span<const VelqField> b_fields = b.fields_in(*fields);
  return std::equal(a_fields.begin(), a_fields.end(), b_fields.begin(), b_fields.end());
}

bool ObjectShapeEqual::operator()(const MembersShape& a, const ObjectShape& b) const noexcept {
  if (a.members.size() != b.count) return false;
  const VelqField* field = fields->data() + b.first;
  for (std::size_t i = 0; i < b.count; ++i, ++field) {
    if (field->type != json_type_code(a.members[i].value) || !same_text(field->name, a.members[i].key)) return false;
  }
  return true;
}

// A shape that is not its slot's last is compared with the one before it,
// and else looked up by the members themselves: hashed once, compared with
// the fields of the definition found; nothing is built for a known shape.
// Either way it becomes the slot's last.
std::uint16_t CompileBuilder::intern_object_shape_in_slot(std::span<const JsonMember> members, std::size_t slot) {
  RecentShape& recent = recent_object_shapes[slot];
  RecentShape& older = older_object_shapes[slot];
  const std::uint64_t bit = std::uint64_t{1} << slot;
  if ((recent_taken & bit) != 0) {
    if ((older_taken & bit) != 0) {
      if (ObjectShapeEqual{&fields}(MembersShape{members}, older.shape)) {
        std::swap(recent, older);
        return recent.index;
      }
      // The older shape is about to give way: it moves into the table,
      // hashed only now, so that a document of few shapes never hashes one.
      if (!older.in_table) {
        object_shapes.emplace(ObjectShape::of(fields, older.shape.first, older.shape.count), older.index);
      }
    }
    older = recent;
    older_taken |= bit;
  }
  recent_taken |= bit;
  if (!object_shapes.empty()) {
    if (auto known = object_shapes.find(MembersShape::of(members)); known != object_shapes.end()) {
      recent = {known->first, known->second, true};
      return known->second;
    }
  }
  const std::uint16_t index = next_def_index++;
  const auto first = static_cast<std::uint32_t>(fields.size());
  const auto count = static_cast<std::uint32_t>(members.size());
  for (const JsonMember& member : members) add_field(fields, lasting(member.key), json_type_code(member.value));
  VelqDefinition& definition = definitions.emplace_back();
  definition.first_field = first;
  definition.field_count = count;
  definition.index = index;
  definition.kind = VelqType::Object;
  recent = {{first, count, 0}, index, false};
  return index;
}

namespace {

// Room in the string table for the strings a text of `text_size` bytes is
// expected to hold, `strings` having been met in its first `bytes` bytes, so
// that the table seldom grows; never more than one per 32 bytes. The table is
// never made smaller, and grows only when the expectation passes what it can hold.
void make_string_room(CompileBuilder& builder, std::size_t strings, std::size_t bytes, std::size_t text_size) {
  // The first few strings need no table (see CompileBuilder::few_strings).
  if (strings <= builder.few_strings.size()) return;
  const double expected = static_cast<double>(strings) * static_cast<double>(text_size) /
                          static_cast<double>(std::max<std::size_t>(bytes, 1));
  const std::size_t room = std::min(static_cast<std::size_t>(expected), text_size / 32);
  if (room > builder.strings.max_load()) builder.strings.reserve(room);
}

// A whole text: room for every string value it holds, the most it can need.
void make_string_room(CompileBuilder& builder, const JsonCounts& counts) {
  make_string_room(builder, counts.strings, counts.bytes, counts.bytes);
}

// A text compiled item by item: room for the distinct strings it is expected
// to hold at the pace the items compiled so far, which end at byte `bytes`,
// added them. Counting string values instead would size the table for every
// repeat of a value; and the first items say little of the whole, so until a
// sixteenth of the text is compiled the table grows on its own.
void make_streamed_string_room(CompileBuilder& builder, std::size_t bytes, std::size_t text_size) {
  if (bytes < text_size / 16) return;
  const std::size_t distinct = builder.strings.empty() ? builder.few_string_count : builder.strings.size();
  make_string_room(builder, distinct, bytes, text_size);
}

// Room for the usual payload, which is smaller than the text, so that it
// seldom grows: pages that are never written take no memory. Made once the
// text is known to parse, or to be a top-level array compiled as it is
// parsed: a text that fails to parse costs no payload.
void make_payload_room(PayloadWriter& out, std::size_t text_size) { out.reserve(text_size + 64); }

// Compiles the items of a top-level array as the parser hands them over, so
// that their nodes go at once. A failure to compile stops the compiling but
// not the parse: a parse error later in the text still comes first, as for
// any text. An interruption stops both.
class RootItemCompiler final : public JsonItemSink {
 public:
  // `text_goes`: the parser gives back the text of the items it hands over.
  RootItemCompiler(JsonValueCompiler& compiler, CompileBuilder& builder, PayloadWriter& out, std::size_t text_size,
                   bool text_goes)
      : compiler_(compiler), builder_(builder), out_(out), text_size_(text_size), text_goes_(text_goes) {}

  void begin_items() override {
    builder_.source_goes = text_goes_;
    make_payload_room(out_, text_size_);
    array_.emplace(compiler_.begin_array(out_));
  }

  bool items(std::span<const JsonValue> items, const JsonCounts& so_far) override {
    if (failed_) return true;
    for (const JsonValue& item : items) {
      kept_.push_back(kept_of(item));
      if (!compiler_.append_item(*array_, item, out_)) {
        failed_ = true;
        return !compiler_.was_interrupted();
      }
    }
    make_streamed_string_room(builder_, so_far.bytes, text_size_);
    return true;
  }

  bool started() const { return array_.has_value(); }

  // The array's end; false after a failure, which the compiler holds.
  bool finish(NodeRefs& refs) { return !failed_ && compiler_.end_array(*array_, kept_, out_, refs); }

 private:
  // What end_array may read of an item once its nodes are gone, and the
  // text perhaps too: its kind, and the value of a number or a boolean.
  static JsonValue kept_of(const JsonValue& item) {
    if (item.kind != JsonKind::Array && item.kind != JsonKind::Object && item.kind != JsonKind::String) return item;
    JsonValue kind_only;
    kind_only.kind = item.kind;
    return kind_only;
  }

  JsonValueCompiler& compiler_;
  CompileBuilder& builder_;
  PayloadWriter& out_;
  const std::size_t text_size_;
  const bool text_goes_;
  std::optional<JsonValueCompiler::ArrayInProgress> array_;
  std::vector<JsonValue> kept_;
  bool failed_ = false;
};

// The text parsed and compiled into the payload; a top-level array's items go
// to `root_items` when it is given. Inlined into both of its callers' roads:
// a small text's call pays for nothing it does not use.
[[gnu::always_inline]] inline Status parse_and_compile(std::string_view text, CompiledDocument& compiled,
                                                       CompileBuilder& builder, JsonValueCompiler& compiler,
                                                       SignalCheck check, RootItemCompiler* root_items,
                                                       TextPages* pages = nullptr) {
  JsonArena arena;
  JsonCounts counts;
  Result<JsonValue> parsed = parse_json(text, arena, counts, check, root_items, pages);
  if (!parsed) return std::move(parsed).error();
  NodeRefs root;
  if (root_items != nullptr && root_items->started()) {
    if (!root_items->finish(root)) return compiler.take_error();
  } else {
    make_payload_room(compiled.payload, text.size());
    make_string_room(builder, counts);
    if (!compiler.append(parsed.value(), compiled.payload, root)) return compiler.take_error();
  }
  compiled.def_index = root.self_def_index;
  // The document views the tree no more once it is released here: what it
  // keeps of it is in `texts`.
  return {};
}

// A large text, or one in pages of the call's own, its top-level array's
// items compiled as they are parsed; the pages of the items compiled go as the
// parse goes on. Out of line: the frame it needs would otherwise be set up for
// every small text too.
[[gnu::noinline]] Status compile_items_as_parsed(std::string_view text, CompiledDocument& compiled,
                                                 SignalCheck check, TextPages* pages = nullptr) {
  CompileBuilder builder(text, compiled);
  JsonValueCompiler compiler(builder, check);
  RootItemCompiler root_items(compiler, builder, compiled.payload, text.size(), pages != nullptr);
  if (Status status = parse_and_compile(text, compiled, builder, compiler, check, &root_items, pages); !status) {
    return status;
  }
  return check_reader_limits(compiled.definitions);
}

}  // namespace

Status compile_json_to_velq(std::string_view text, CompiledDocument& compiled, SignalCheck check,
                            std::size_t streamed_from) {
  if (text.size() >= streamed_from) return compile_items_as_parsed(text, compiled, check);
  CompileBuilder builder(text, compiled);
  JsonValueCompiler compiler(builder, check);
  if (Status status = parse_and_compile(text, compiled, builder, compiler, check, nullptr); !status) return status;
  return check_reader_limits(compiled.definitions);
}

Status compile_json_to_velq(TextPages& pages, CompiledDocument& compiled, SignalCheck check) {
  return compile_items_as_parsed(pages.text(), compiled, check, &pages);
}

// ---------------------------------------------------------------------------
// Value compiler

namespace {

__extension__ using Wide = unsigned __int128;

// Folds the 128-bit product, the core step of the hash.
std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
  const Wide product = static_cast<Wide>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

constexpr std::uint64_t kHashSeed = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kHashStep = 0xD6E8FEB86659FD93ull;

}  // namespace

std::size_t QuickTextHash::operator()(std::string_view text) const noexcept {
  const char* at = text.data();
  std::size_t left = text.size();
  std::uint64_t state = kHashSeed ^ left;
  for (; left > 16; left -= 16, at += 16) {
    state = fold_multiply(load_le64(at) ^ kHashStep, load_le64(at + 8) ^ state);
  }
  // The last 1 to 16 bytes, read as two words that may overlap.
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  if (left >= 8) {
    low = load_le64(at);
    high = load_le64(at + left - 8);
  } else if (left >= 4) {
    low = load_le32(at);
    high = load_le32(at + left - 4);
  } else if (left > 0) {
    low = static_cast<unsigned char>(at[0]);
    high = static_cast<std::uint64_t>(static_cast<unsigned char>(at[left / 2])) << 8 |
           static_cast<unsigned char>(at[left - 1]);
  }
  return fold_multiply(low ^ kHashStep, high ^ state);
}

DataCompiler::DataCompiler(CompiledDocument& document)
    : definitions(document.definitions),
      fields(document.fields),
      dict(document.dict),
      texts(document.texts) {}

void StringPositions::grow() {
  const std::size_t old_size = mask_ + 1;
  auto grown = std::make_unique<StringSlot[]>(2 * old_size);  // zeroed: every slot free
  mask_ = 2 * old_size - 1;
  --shift_;
  for (std::size_t k = 0; k < old_size; ++k) {
    const StringSlot& slot = slots_[k];
    if (slot.entry == 0) continue;
    std::size_t i = start(slot.hash);
    while (grown[i].entry != 0) i = (i + 1) & mask_;
    grown[i] = slot;
  }
  grown_ = std::move(grown);
  slots_ = grown_.get();
}

std::string_view DataCompiler::named_beyond_constants(std::size_t i) {
  std::string name = "f";
  name.append(std::to_string(i));
  return texts.keep(name);
}

std::uint16_t DataCompiler::create_definition(VelqType kind) {
  const std::uint16_t index = next_def_index++;
  VelqDefinition& definition = definitions.emplace_back();
  definition.index = index;
  definition.kind = kind;
  return index;
}

std::uint16_t DataCompiler::create_array_definition(VelqType elem_type) {
  const std::uint16_t index = create_definition(VelqType::Array);
  definitions.back().elem_type = elem_type;
  return index;
}

bool DataCompiler::has_shape(const RecentShape& recent, std::string_view types) const {
  if (!recent.used) return false;
  const std::span<const VelqField> shape = fields_of(fields, definitions[recent.definition.position]);
  if (shape.size() != types.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i].type != static_cast<VelqType>(types[i])) return false;
  }
  return true;
}

void DataCompiler::leave_slot(const RecentShape& recent) {
  if (!recent.used || recent.in_table) return;
  const std::span<const VelqField> shape = fields_of(fields, definitions[recent.definition.position]);
  std::string types(shape.size(), '\0');
  for (std::size_t i = 0; i < shape.size(); ++i) types[i] = static_cast<char>(shape[i].type);
  object_shapes.emplace(std::move(types), recent.definition);
}

std::uint16_t DataCompiler::intern_object_shape(std::string_view types) {
  RecentShape& recent = recent_object_shapes[types.size() % recent_object_shapes.size()];
  if (has_shape(recent, types)) return recent.definition.index;
  leave_slot(recent);
  // Hashed only for the table, which a document of few shapes never fills.
  if (!object_shapes.empty()) {
    if (auto known = object_shapes.find(HashedText{types, ShapeKeyHash{}(types)}); known != object_shapes.end()) {
      recent = {known->second, true, true};
      return known->second.index;
    }
  }
  const auto position = static_cast<std::uint32_t>(definitions.size());
  const std::uint16_t index = create_definition(VelqType::Object);
  VelqDefinition& definition = definitions.back();
  definition.first_field = static_cast<std::uint32_t>(fields.size());
  definition.field_count = static_cast<std::uint32_t>(types.size());
  for (std::size_t i = 0; i < types.size(); ++i) add_field(fields, field_name(i), static_cast<VelqType>(types[i]));
  recent = {{position, index}, true, false};
  return index;
}

}  // namespace velq
