#include "compile.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

namespace velq {

VelqError mixed_array_error(std::string_view pointer, VelqType found, VelqType expected) {
  std::string message = "Mixed array item at ";
  message.append(pointer);
  message.append(": ");
  message.append(type_name(found));
  message.append(" in an array of ");
  message.append(type_name(expected));
  return VelqError::parse(std::move(message));
}

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

// What a parent needs of a compiled node besides the node itself: its type
// code, the definition a chunk of it records (an array's or object's own, a
// primitive's built-in one) and the one an array records when the node is its
// first item (an array's element definition, an object's own, a primitive's
// built-in one).
struct NodeRefs {
  VelqType type = VelqType::Null;
  std::uint16_t self_def_index = 0;
  std::uint16_t elem_def_index = 0;

  static NodeRefs primitive(VelqType type) {
    const auto index = static_cast<std::uint16_t>(type);
    return {type, index, index};
  }
};

// Compiled nodes as a VelqData tree: the document that compile_json_str returns.
struct TreeOutput {
  using Items = std::vector<VelqData>;
  using Array = VelqArray;
  using Object = VelqObject;

  static void null(Items& out) { out.emplace_back(std::in_place_index<kNullIndex>); }
  static void boolean(Items& out, bool value) { out.emplace_back(std::in_place_index<kBoolIndex>, value); }
  static void int32(Items& out, std::int32_t value) {
    out.emplace_back(std::in_place_index<kInt32Index>, value);
  }
  static void uint32(Items& out, std::uint32_t value) {
    out.emplace_back(std::in_place_index<kUInt32Index>, value);
  }
  static void float32(Items& out, float value) { out.emplace_back(std::in_place_index<kFloat32Index>, value); }
  static void string(Items& out, std::string_view text) {
    out.emplace_back(std::in_place_index<kStringIndex>, text);
  }
  static void str_ref(Items& out, std::uint32_t position) {
    out.emplace_back(std::in_place_index<kStrRefIndex>, VelqStrRef{position});
  }

  static Array begin_array(Items&, std::size_t count) {
    Array array;
    array.items.reserve(count);
    return array;
  }
  static Items& items(Array& array) { return array.items; }
  static void rewrite_item_as_float32(Array& array, std::size_t index, float value) {
    array.items[index].emplace<kFloat32Index>(value);
  }
  static void end_array(Items& out, Array& array, std::uint16_t self_def_index, std::uint16_t elem_def_index) {
    array.self_def_index = self_def_index;
    array.elem_def_index = elem_def_index;
    out.emplace_back(std::in_place_index<kArrayIndex>, std::move(array));
  }

  static Object begin_object(Items&, std::size_t count) {
    Object object;
    object.values.reserve(count);
    return object;
  }
  static Items& values(Object& object) { return object.values; }
  static void end_object(Items& out, Object& object, std::uint16_t self_def_index) {
    object.self_def_index = self_def_index;
    out.emplace_back(std::in_place_index<kObjectIndex>, std::move(object));
  }
};

// Compiled nodes written straight as the bytes of the chunk's payload, which
// is what the encoder would write for the tree.
struct PayloadOutput {
  using Items = PayloadWriter;
  struct Array {
    PayloadWriter& out;
    std::size_t at;
  };
  using Object = Array;

  static void null(Items& out) { out.null(); }
  static void boolean(Items& out, bool value) { out.boolean(value); }
  static void int32(Items& out, std::int32_t value) { out.int32(value); }
  static void uint32(Items& out, std::uint32_t value) { out.uint32(value); }
  static void float32(Items& out, float value) { out.float32(value); }
  static void string(Items& out, std::string_view text) { out.string(text); }
  static void str_ref(Items& out, std::uint32_t position) { out.str_ref(position); }

  static Array begin_array(Items& out, std::size_t count) { return {out, out.begin_array(count)}; }
  static Items& items(Array& array) { return array.out; }
  static void rewrite_item_as_float32(Array& array, std::size_t index, float value) {
    array.out.rewrite_item_as_float32(array.at, index, value);
  }
  static void end_array(Items&, Array& array, std::uint16_t self_def_index, std::uint16_t elem_def_index) {
    array.out.end_array(array.at, self_def_index, elem_def_index);
  }

  static Object begin_object(Items& out, std::size_t) { return {out, out.begin_object()}; }
  static Items& values(Object& object) { return object.out; }
  static void end_object(Items&, Object& object, std::uint16_t self_def_index) {
    object.out.end_object(object.at, self_def_index);
  }
};

// One step of the way from the compiled root down to the current value: the
// array or object being compiled and the position of the item or member in it.
struct PathSegment {
  const JsonValue* container;
  std::size_t position;
};

// The recursive compilation of one JSON value, into the form of `Output`
// (TreeOutput or PayloadOutput): the rules are the same for both. Errors are
// kept here rather than returned per node, so the common path carries no
// Result.
template <class Output>
class JsonValueCompiler {
 public:
  using Items = typename Output::Items;

  explicit JsonValueCompiler(CompileBuilder& builder) : builder_(builder) {}

  // Appends the compiled node of `value` to `out` and tells what its parent
  // needs of it; false after a failure, which take_error() then holds.
  bool append(const JsonValue& value, Items& out, NodeRefs& refs);

  VelqError take_error() { return std::move(error_); }

 private:
  bool append_array(const JsonValue& value, Items& out, NodeRefs& refs);
  bool append_object(const JsonValue& value, Items& out, NodeRefs& refs);
  bool settle_mixed_items(std::span<const JsonValue> json_items, typename Output::Array& array,
                          VelqType& elem_type);
  std::string pointer_to_item(std::size_t index) const;

  CompileBuilder& builder_;
  std::vector<PathSegment> path_;  // one segment per enclosing array or object
  VelqError error_;
};

template <class Output>
bool JsonValueCompiler<Output>::append(const JsonValue& value, Items& out, NodeRefs& refs) {
  switch (value.kind) {
    case JsonKind::Null:
      Output::null(out);
      refs = NodeRefs::primitive(VelqType::Null);
      return true;
    case JsonKind::Bool:
      Output::boolean(out, value.boolean);
      refs = NodeRefs::primitive(VelqType::Bool);
      return true;
    case JsonKind::UInt:
      if (value.uint >> 63) {
        Output::uint32(out, static_cast<std::uint32_t>(value.uint));
        refs = NodeRefs::primitive(VelqType::UInt32);
      } else {
        Output::int32(out, low_int32(value.uint));
        refs = NodeRefs::primitive(VelqType::Int32);
      }
      return true;
    case JsonKind::Int:
      Output::int32(out, low_int32(static_cast<std::uint64_t>(value.sint)));
      refs = NodeRefs::primitive(VelqType::Int32);
      return true;
    case JsonKind::Double:
      // Beyond the float range the conversion gives infinity (IEEE rounding).
      Output::float32(out, static_cast<float>(value.dbl));
      refs = NodeRefs::primitive(VelqType::Float32);
      return true;
    case JsonKind::String:
      if (std::optional<std::uint32_t> position = builder_.intern_string(value.string())) {
        Output::str_ref(out, *position);
      } else {
        Output::string(out, value.string());
      }
      refs = NodeRefs::primitive(VelqType::String);
      return true;
    case JsonKind::Array: return append_array(value, out, refs);
    case JsonKind::Object: return append_object(value, out, refs);
  }
  return true;
}

template <class Output>
bool JsonValueCompiler<Output>::append_array(const JsonValue& value, Items& out, NodeRefs& refs) {
  std::span<const JsonValue> json_items = value.array();
  typename Output::Array array = Output::begin_array(out, json_items.size());
  NodeRefs first = NodeRefs::primitive(VelqType::Null);
  bool uniform = true;

  path_.push_back({&value, 0});
  for (std::size_t i = 0; i < json_items.size(); ++i) {
    path_.back().position = i;
    NodeRefs item;
    if (!append(json_items[i], Output::items(array), item)) return false;
    if (i == 0) {
      first = item;
    } else if (item.type != first.type) {
      uniform = false;
    }
  }
  path_.pop_back();

  // Uniform items: the element type and definition are the first item's
  // (an array of nulls only, or of nothing, records Null).
  VelqType elem_type = first.type;
  std::uint16_t elem_def_index = first.elem_def_index;
  if (!uniform) {
    if (!settle_mixed_items(json_items, array, elem_type)) return false;
    // Only widened numbers get here: every item is now a Float32.
    elem_def_index = static_cast<std::uint16_t>(elem_type);
  }

  const std::uint16_t self = builder_.intern_array_shape(elem_type);
  Output::end_array(out, array, self, elem_def_index);
  refs = {VelqType::Array, self, elem_def_index};
  return true;
}

// Items of different type codes: integers widen to Float32 when every
// non-null item is a number and one of them a double; after that every item
// must have the element type (that of the first non-null item).
template <class Output>
bool JsonValueCompiler<Output>::settle_mixed_items(std::span<const JsonValue> json_items,
                                                   typename Output::Array& array, VelqType& elem_type) {
  elem_type = VelqType::Null;
  bool all_numbers = true;
  bool any_double = false;
  for (const JsonValue& item : json_items) {
    if (item.kind == JsonKind::Null) continue;
    if (elem_type == VelqType::Null) elem_type = json_type_code(item);
    all_numbers = all_numbers && is_number(item.kind);
    any_double = any_double || item.kind == JsonKind::Double;
  }
  bool widen = all_numbers && any_double;
  if (widen) elem_type = VelqType::Float32;

  for (std::size_t i = 0; i < json_items.size(); ++i) {
    const JsonValue& item = json_items[i];
    VelqType found = json_type_code(item);
    if (widen && (item.kind == JsonKind::UInt || item.kind == JsonKind::Int)) {
      Output::rewrite_item_as_float32(array, i, integer_as_float(item));
      found = VelqType::Float32;
    }
    if (found != elem_type) {
      error_ = mixed_array_error(pointer_to_item(i), found, elem_type);
      return false;
    }
  }
  return true;
}

template <class Output>
bool JsonValueCompiler<Output>::append_object(const JsonValue& value, Items& out, NodeRefs& refs) {
  std::span<const JsonMember> members = value.object();
  typename Output::Object object = Output::begin_object(out, members.size());

  path_.push_back({&value, 0});
  for (std::size_t i = 0; i < members.size(); ++i) {
    path_.back().position = i;
    NodeRefs member;
    if (!append(members[i].value, Output::values(object), member)) return false;
  }
  path_.pop_back();

  const std::uint16_t self_def_index = builder_.intern_object_shape(members);
  Output::end_object(out, object, self_def_index);
  refs = {VelqType::Object, self_def_index, self_def_index};
  return true;
}

template <class Output>
std::string JsonValueCompiler<Output>::pointer_to_item(std::size_t index) const {
  std::string pointer;
  for (const PathSegment& segment : path_) {
    if (segment.container->kind == JsonKind::Object) {
      append_pointer_token(pointer, segment.container->object()[segment.position].key);
    } else {
      append_pointer_token(pointer, std::to_string(segment.position));
    }
  }
  append_pointer_token(pointer, std::to_string(index));
  return pointer;
}

// Field storage must travel with a definition that moves, as the shape table points into it.
static_assert(std::is_nothrow_move_constructible_v<VelqDefinition>);

constexpr std::uint64_t kShapeHashStep = 0x9E3779B97F4A7C15ull;

}  // namespace

VelqType json_type_code(const JsonValue& value) {
  switch (value.kind) {
    case JsonKind::Null: return VelqType::Null;
    case JsonKind::Bool: return VelqType::Bool;
    case JsonKind::UInt: return (value.uint >> 63) ? VelqType::UInt32 : VelqType::Int32;
    case JsonKind::Int: return VelqType::Int32;
    case JsonKind::Double: return VelqType::Float32;
    case JsonKind::String: return VelqType::String;
    case JsonKind::Array: return VelqType::Array;
    case JsonKind::Object: return VelqType::Object;
  }
  return VelqType::Null;
}

CompileBuilder::CompileBuilder() : definitions(builtin_definitions()) { array_shapes.fill(kNoArrayShape); }

std::optional<std::uint32_t> CompileBuilder::intern_string(std::string_view text) {
  const std::uint64_t hash = QuickTextHash{}(text);
  const auto half_hash = static_cast<std::uint32_t>(hash ^ (hash >> 32));
  auto [entry, first_occurrence] = strings.insert(StringEntry{text.data(), text.size(), half_hash, kNotInDict});
  if (first_occurrence) return std::nullopt;
  if (entry->position == kNotInDict) {
    entry->position = static_cast<std::uint32_t>(dict.size());
    dict.emplace_back(text);
  }
  return entry->position;
}

VelqData CompileBuilder::emit_string(std::string_view text) {
  if (std::optional<std::uint32_t> position = intern_string(text)) return VelqStrRef{*position};
  return VelqData(std::in_place_index<kStringIndex>, text);
}

std::uint16_t CompileBuilder::intern_array_shape(VelqType elem_type) {
  const auto code = static_cast<std::uint8_t>(elem_type);
  if (array_shapes[code] != kNoArrayShape) return static_cast<std::uint16_t>(array_shapes[code]);
  const std::uint16_t index = next_def_index++;
  VelqDefinition& definition = definitions.emplace_back();
  definition.index = index;
  definition.kind = VelqType::Array;
  definition.elem_type = elem_type;
  array_shapes[code] = index;
  return index;
}

MembersShape MembersShape::of(std::span<const JsonMember> members) {
  std::uint64_t hash = members.size();
  for (const JsonMember& member : members) {
    const auto type = static_cast<std::uint64_t>(json_type_code(member.value));
    hash = (hash ^ QuickTextHash{}(member.key)) * kShapeHashStep + type;
  }
  return {members, static_cast<std::size_t>(hash)};
}

bool ObjectShapeEqual::operator()(const ObjectShape& a, const ObjectShape& b) const noexcept {
  return std::equal(a.fields, a.fields + a.count, b.fields, b.fields + b.count);
}

bool ObjectShapeEqual::operator()(const MembersShape& a, const ObjectShape& b) const noexcept {
  if (a.members.size() != b.count) return false;
  for (std::size_t i = 0; i < b.count; ++i) {
    const VelqField& field = b.fields[i];
    if (field.type != json_type_code(a.members[i].value) || field.name != a.members[i].key) return false;
  }
  return true;
}

// The shape is looked up by the members themselves: hashed once, compared
// with the fields of the definition found; nothing is built for a known shape.
std::uint16_t CompileBuilder::intern_object_shape(std::span<const JsonMember> members) {
  RecentShape& recent = recent_object_shapes[members.size() % recent_object_shapes.size()];
  if (recent.index != 0 && ObjectShapeEqual{}(MembersShape{members}, recent.shape)) return recent.index;
  const MembersShape shape = MembersShape::of(members);
  if (auto known = object_shapes.find(shape); known != object_shapes.end()) {
    recent = {known->first, known->second};
    return known->second;
  }
  std::uint16_t index = next_def_index++;
  std::vector<VelqField> fields;
  fields.reserve(members.size());
  for (const JsonMember& member : members) {
    fields.push_back({std::string(member.key), json_type_code(member.value)});
  }
  VelqDefinition& definition = definitions.emplace_back();
  definition.fields = std::move(fields);
  definition.index = index;
  definition.kind = VelqType::Object;
  const ObjectShape created{definition.fields->data(), definition.fields->size(), shape.hash};
  object_shapes.emplace(created, index);
  recent = {created, index};
  return index;
}

Result<VelqData> compile_inline(CompileBuilder& builder, const JsonValue& value) {
  std::vector<VelqData> out;
  out.reserve(1);
  JsonValueCompiler<TreeOutput> compiler(builder);
  NodeRefs refs;
  if (!compiler.append(value, out, refs)) return compiler.take_error();
  return std::move(out.front());
}

namespace {

std::uint16_t chunk_def_index(const VelqData& data) {
  switch (data.index()) {
    case kArrayIndex: return std::get<VelqArray>(data).self_def_index;
    case kObjectIndex: return std::get<VelqObject>(data).self_def_index;
    default: return static_cast<std::uint16_t>(type_of(data));
  }
}

VelqDocument single_chunk_document(std::vector<VelqDefinition> definitions, std::vector<std::string> dict,
                                   VelqData data, std::uint16_t def_index) {
  VelqDocument document;
  document.definitions = std::move(definitions);
  document.dict = std::move(dict);
  document.chunks.push_back({std::move(data), def_index});
  return document;
}

}  // namespace

Result<VelqDocument> compile_json_str(std::string_view text) {
  Result<JsonDocument> parsed = parse_json(text);
  if (!parsed) return std::move(parsed).error();
  CompileBuilder builder;
  Result<VelqData> data = compile_inline(builder, parsed.value().root);
  if (!data) return std::move(data).error();
  std::uint16_t def_index = chunk_def_index(data.value());
  return single_chunk_document(std::move(builder.definitions), std::move(builder.dict),
                               std::move(data).value(), def_index);
}

Result<EncodedDocument> compile_json_to_velq(std::string_view text, ByteBuffer::Storage* storage) {
  CompileBuilder builder;
  PayloadWriter payload(storage);
  std::uint16_t def_index = 0;
  {
    Result<JsonDocument> parsed = parse_json(text);
    if (!parsed) return std::move(parsed).error();
    // Room for the usual payload, which is smaller than the text, so that it seldom grows: pages
    // that are never written take no memory.
    payload.reserve(text.size() + 64);
    JsonValueCompiler<PayloadOutput> compiler(builder);
    NodeRefs root;
    if (!compiler.append(parsed.value().root, payload, root)) return compiler.take_error();
    def_index = root.self_def_index;
    // The string table views the tree, which is released here.
    builder.strings = {};
    builder.object_shapes = {};
  }
  if (Status limits = check_reader_limits(builder.definitions); !limits) return std::move(limits).error();
  ByteBuffer head;
  if (Status written = encode_head_into(head, builder.definitions, builder.dict, def_index, payload); !written) {
    return std::move(written).error();
  }
  return EncodedDocument{std::move(head), std::move(payload).take_bytes()};
}

std::string EncodedDocument::joined() const {
  std::string bytes;
  bytes.reserve(size());
  bytes.append(head.view());
  bytes.append(payload.view());
  return bytes;
}

Status check_reader_limits(const VelqDocument& document) { return check_reader_limits(document.definitions); }

Status check_reader_limits(const std::vector<VelqDefinition>& definitions) {
  if (definitions.size() > MAX_DEFINITIONS) return VelqError::parse(too_many_definitions_message(definitions.size()));
  for (const VelqDefinition& definition : definitions) {
    if (definition.kind != VelqType::Object || !definition.fields) continue;
    if (definition.fields->size() > MAX_OBJECT_FIELDS) {
      return VelqError::parse(too_many_object_fields_message(definition.index, definition.fields->size()));
    }
  }
  return {};
}

// ---------------------------------------------------------------------------
// Value compiler

namespace {

// Writes the digits at `at`; returns the end of what it wrote.
char* write_decimal(char* at, unsigned value) {
  char digits[10];
  char* end = digits + sizeof digits;
  char* first = end;
  do {
    *--first = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  std::memcpy(at, first, static_cast<std::size_t>(end - first));
  return at + (end - first);
}

void append_decimal(std::string& out, unsigned value) {
  char digits[10];
  out.append(digits, write_decimal(digits, value));
}

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

DataCompiler::DataCompiler()
    : definitions(builtin_definitions()), string_positions(0, StringSlotHash{}, StringSlotEqual{&dict}) {}

std::uint16_t DataCompiler::create_definition(VelqType kind) {
  const std::uint16_t index = next_def_index++;
  VelqDefinition& definition = definitions.emplace_back();
  definition.index = index;
  definition.kind = kind;
  return index;
}

std::uint16_t DataCompiler::intern_array_shape_by_key(std::uint16_t incoming_index, VelqType elem_type) {
  const auto code = static_cast<std::uint8_t>(elem_type);
  const bool plain = incoming_index == 0 && code < plain_array_shapes_.size();
  char key[16] = "arr:";
  char* end = write_decimal(key + 4, incoming_index);
  *end++ = ':';
  end = write_decimal(end, code);
  const std::string_view text(key, static_cast<std::size_t>(end - key));
  std::uint16_t index;
  if (auto known = array_shapes.find(text); known != array_shapes.end()) {
    index = known->second;
  } else {
    index = create_definition(VelqType::Array);
    definitions.back().elem_type = elem_type;
    array_shapes.emplace(text, index);
  }
  if (plain) plain_array_shapes_[code] = index;
  return index;
}

namespace {

// The type code behind a character of an object shape key.
VelqType type_of_character(char c) {
  switch (c) {
    case '6': return VelqType::Array;
    case '7': return VelqType::Object;
    default: return static_cast<VelqType>(c - '0');
  }
}

}  // namespace

std::uint16_t DataCompiler::intern_object_shape(HashedText key) {
  if (auto known = object_shapes.find(key); known != object_shapes.end()) return known->second;
  const std::string_view types = key.text.substr(key.text.find(':', 4) + 1);
  const std::size_t count = (types.size() + 1) / 2;
  const std::uint16_t index = create_definition(VelqType::Object);
  std::vector<VelqField>& fields = definitions.back().fields.emplace();
  fields.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    VelqField& field = fields.emplace_back();
    field.name.push_back('f');
    append_decimal(field.name, static_cast<unsigned>(i));
    field.type = type_of_character(types[2 * i]);
  }
  object_shapes.emplace(key.text, index);
  return index;
}

namespace {

// The key prefix of objects that arrive without an index (every Python dict), with its hash.
constexpr std::string_view kPlainObjectPrefix = "obj:0:";
constexpr std::uint64_t kPlainObjectPrefixHash = [] {
  std::uint64_t hash = ShapeKeyHash::kStart;
  for (char c : kPlainObjectPrefix) hash = ShapeKeyHash::step(hash, c);
  return hash;
}();

}  // namespace

void ObjectShapeKeys::begin(std::uint16_t incoming_index, std::size_t values) {
  char prefix[16] = "obj:";
  char* end = write_decimal(prefix + 4, incoming_index);
  *end++ = ':';
  const auto prefix_size = static_cast<std::size_t>(end - prefix);
  if (size_ + prefix_size + 2 * values > buffer_.size()) buffer_.resize(2 * (size_ + prefix_size + 2 * values));
  std::memcpy(buffer_.data() + size_, prefix, prefix_size);
  const std::uint64_t hash =
      incoming_index == 0 ? kPlainObjectPrefixHash : ShapeKeyHash{}(std::string_view(prefix, prefix_size));
  open_.push_back({size_, hash, 0});
  size_ += prefix_size;
}

namespace {

// A finished VelqData tree as a source of the value compiler, compiled as given.
class TreeSource {
 public:
  using Node = const VelqData*;
  static constexpr bool kChecked = false;

  explicit TreeSource(std::pmr::memory_resource& store) : store_(store) {}

  bool classify(Node node, SourceValue& value) const {
    switch (node->index()) {
      case kBoolIndex:
        value.type = VelqType::Bool;
        value.boolean = *std::get_if<kBoolIndex>(node);
        break;
      case kInt32Index:
        value.type = VelqType::Int32;
        value.integer = *std::get_if<kInt32Index>(node);
        break;
      case kUInt32Index:
        value.type = VelqType::UInt32;
        value.integer = *std::get_if<kUInt32Index>(node);
        break;
      case kFloat32Index:
        value.type = VelqType::Float32;
        value.number = *std::get_if<kFloat32Index>(node);
        break;
      case kStringIndex: {
        const std::string& text = *std::get_if<kStringIndex>(node);
        value.type = VelqType::String;
        value.text = {text, QuickTextHash{}(text)};
        value.is_str_ref = false;
        break;
      }
      case kStrRefIndex:
        value.type = VelqType::String;
        value.is_str_ref = true;
        value.str_ref = std::get_if<kStrRefIndex>(node)->index;
        break;
      case kArrayIndex:
        value.type = VelqType::Array;
        value.incoming_index = std::get_if<kArrayIndex>(node)->self_def_index;
        value.size = std::get_if<kArrayIndex>(node)->items.size();
        break;
      case kObjectIndex:
        value.type = VelqType::Object;
        value.incoming_index = std::get_if<kObjectIndex>(node)->self_def_index;
        value.size = std::get_if<kObjectIndex>(node)->values.size();
        break;
      default: value.type = type_of(*node); break;
    }
    return true;
  }

  template <class Visit>
  bool for_each_item(Node node, Visit&& visit) const {
    for (const VelqData& item : std::get_if<kArrayIndex>(node)->items) {
      if (!visit(&item)) return false;
    }
    return true;
  }

  // An object's values come without keys of their own.
  template <class Key, class Visit>
  bool for_each_member(Node node, Key&&, Visit&& visit) const {
    for (const VelqData& value : std::get_if<kObjectIndex>(node)->values) {
      if (!visit(&value)) return false;
    }
    return true;
  }

  static bool kept_before(Node, const HashedText&) { return false; }

  // A copy that survives whatever becomes of the tree.
  std::string_view keep(Node, HashedText hashed) {
    const std::string_view text = hashed.text;
    char* copy = static_cast<char*>(store_.allocate(std::max<std::size_t>(text.size(), 1), 1));
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    return {copy, text.size()};
  }

 private:
  std::pmr::memory_resource& store_;
};

// Records the definition of every array and object, in pre-order of the tree.
class DefinitionIndexOutput {
 public:
  explicit DefinitionIndexOutput(std::vector<std::uint16_t>& indices) : indices_(indices) {}

  void null() {}
  void boolean(bool) {}
  void int32(std::int32_t) {}
  void uint32(std::uint32_t) {}
  void float32(float) {}
  void string(std::string_view) {}
  void str_ref(std::uint32_t) {}

  std::size_t begin_array() { return reserve_slot(); }
  void end_array(std::size_t slot, std::uint16_t def_index, std::size_t) { indices_[slot] = def_index; }
  std::size_t begin_object() { return reserve_slot(); }
  void end_object(std::size_t slot, std::uint16_t def_index) { indices_[slot] = def_index; }

 private:
  std::size_t reserve_slot() {
    indices_.push_back(0);
    return indices_.size() - 1;
  }

  std::vector<std::uint16_t>& indices_;
};

}  // namespace

void DataCompiler::walk(const VelqData& node) {
  TreeSource source(string_store_);
  DefinitionIndexOutput out(node_def_indices);
  ValueCompiler<TreeSource, DefinitionIndexOutput> compiler(*this, source, out);
  std::uint16_t def_index;
  compiler.compile(&node, def_index);  // a finished tree cannot fail
}

VelqData DataCompiler::rewrite_indices(const VelqData& node) {
  switch (node.index()) {
    case kArrayIndex: {
      const VelqArray& array = std::get<VelqArray>(node);
      VelqArray copy;
      copy.self_def_index = copy.elem_def_index = node_def_indices[rewrite_position_++];
      copy.items.reserve(array.items.size());
      for (const VelqData& item : array.items) copy.items.push_back(rewrite_indices(item));
      return copy;
    }
    case kObjectIndex: {
      const VelqObject& object = std::get<VelqObject>(node);
      VelqObject copy;
      copy.self_def_index = node_def_indices[rewrite_position_++];
      copy.values.reserve(object.values.size());
      for (const VelqData& value : object.values) copy.values.push_back(rewrite_indices(value));
      return copy;
    }
    default: return node;
  }
}

void DataCompiler::rewrite_indices_in_place(VelqData& node) {
  if (VelqArray* array = std::get_if<kArrayIndex>(&node)) {
    array->self_def_index = array->elem_def_index = node_def_indices[rewrite_position_++];
    for (VelqData& item : array->items) {
      if (item.index() >= kArrayIndex) rewrite_indices_in_place(item);
    }
  } else if (VelqObject* object = std::get_if<kObjectIndex>(&node)) {
    object->self_def_index = node_def_indices[rewrite_position_++];
    for (VelqData& value : object->values) {
      if (value.index() >= kArrayIndex) rewrite_indices_in_place(value);
    }
  }
}

// The tree leaves this function as the chunk's data: rewriting it in place
// spares a copy of every node and string. Only the indices differ from a copy.
VelqDocument compile_data(VelqData root) {
  DataCompiler compiler;
  compiler.walk(root);
  std::uint16_t def_index = root.index() == kArrayIndex || root.index() == kObjectIndex
                                ? compiler.node_def_indices.front()
                                : static_cast<std::uint16_t>(type_of(root));
  compiler.rewrite_indices_in_place(root);
  std::vector<std::string> dict(compiler.dict.begin(), compiler.dict.end());
  return single_chunk_document(std::move(compiler.definitions), std::move(dict), std::move(root), def_index);
}

}  // namespace velq
