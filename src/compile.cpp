#include "compile.h"

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

void append_varint(std::string& out, std::size_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

// The element definition recorded for an array: the built-in definition of a
// primitive, or what the first compound item itself points at.
std::uint16_t elem_def_index_of(const std::vector<VelqData>& items) {
  for (const VelqData& item : items) {
    switch (item.index()) {
      case kNullIndex: continue;
      case kArrayIndex: return std::get<VelqArray>(item).elem_def_index;
      case kObjectIndex: return std::get<VelqObject>(item).self_def_index;
      default: return static_cast<std::uint16_t>(type_of(item));
    }
  }
  return 0;
}

// One step of the way from the compiled root down to the current value: the
// array or object being compiled and the position of the item or member in it.
struct PathSegment {
  const JsonValue* container;
  std::size_t position;
};

// The recursive compilation of one JSON value. Errors are kept here rather
// than returned per node, so the common path carries no Result.
class JsonValueCompiler {
 public:
  explicit JsonValueCompiler(CompileBuilder& builder) : builder_(builder) {}

  // Appends the compiled node of `value` to `out`; false after a failure,
  // which take_error() then holds.
  bool append(const JsonValue& value, std::vector<VelqData>& out);

  VelqError take_error() { return std::move(error_); }

 private:
  bool append_array(const JsonValue& value, std::vector<VelqData>& out);
  bool append_object(const JsonValue& value, std::vector<VelqData>& out);
  bool settle_mixed_items(std::span<const JsonValue> json_items, std::vector<VelqData>& items,
                          VelqType& elem_type);
  std::string pointer_to_item(std::size_t index) const;

  CompileBuilder& builder_;
  std::vector<PathSegment> path_;  // one segment per enclosing array or object
  VelqError error_;
};

bool JsonValueCompiler::append(const JsonValue& value, std::vector<VelqData>& out) {
  switch (value.kind) {
    case JsonKind::Null: out.emplace_back(std::in_place_index<kNullIndex>); return true;
    case JsonKind::Bool: out.emplace_back(std::in_place_index<kBoolIndex>, value.boolean); return true;
    case JsonKind::UInt:
      if (value.uint >> 63) {
        out.emplace_back(std::in_place_index<kUInt32Index>, static_cast<std::uint32_t>(value.uint));
      } else {
        out.emplace_back(std::in_place_index<kInt32Index>, low_int32(value.uint));
      }
      return true;
    case JsonKind::Int:
      out.emplace_back(std::in_place_index<kInt32Index>, low_int32(static_cast<std::uint64_t>(value.sint)));
      return true;
    case JsonKind::Double:
      // Beyond the float range the conversion gives infinity (IEEE rounding).
      out.emplace_back(std::in_place_index<kFloat32Index>, static_cast<float>(value.dbl));
      return true;
    case JsonKind::String: out.push_back(builder_.emit_string(value.string())); return true;
    case JsonKind::Array: return append_array(value, out);
    case JsonKind::Object: return append_object(value, out);
  }
  return true;
}

bool JsonValueCompiler::append_array(const JsonValue& value, std::vector<VelqData>& out) {
  std::span<const JsonValue> json_items = value.array();
  VelqArray array;
  array.items.reserve(json_items.size());
  VelqType elem_type = VelqType::Null;
  bool uniform = true;

  path_.push_back({&value, 0});
  for (std::size_t i = 0; i < json_items.size(); ++i) {
    path_.back().position = i;
    if (!append(json_items[i], array.items)) return false;
    VelqType code = json_type_code(json_items[i]);
    if (i == 0) {
      elem_type = code;
    } else if (code != elem_type) {
      uniform = false;
    }
  }
  path_.pop_back();

  if (!uniform && !settle_mixed_items(json_items, array.items, elem_type)) return false;

  Result<std::uint16_t> self = builder_.intern_array_shape(static_cast<std::uint8_t>(elem_type));
  if (!self) {
    error_ = std::move(self).error();
    return false;
  }
  array.self_def_index = self.value();
  array.elem_def_index = elem_def_index_of(array.items);
  out.emplace_back(std::move(array));
  return true;
}

// Items of different type codes: integers widen to Float32 when every
// non-null item is a number and one of them a double; after that every item
// must have the element type (that of the first non-null item).
bool JsonValueCompiler::settle_mixed_items(std::span<const JsonValue> json_items,
                                           std::vector<VelqData>& items, VelqType& elem_type) {
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
    if (widen && (item.kind == JsonKind::UInt || item.kind == JsonKind::Int)) {
      items[i] = VelqData(std::in_place_index<kFloat32Index>, integer_as_float(item));
    }
    VelqType found = type_of(items[i]);
    if (found != elem_type) {
      error_ = mixed_array_error(pointer_to_item(i), found, elem_type);
      return false;
    }
  }
  return true;
}

bool JsonValueCompiler::append_object(const JsonValue& value, std::vector<VelqData>& out) {
  std::span<const JsonMember> members = value.object();
  VelqObject object;
  object.values.reserve(members.size());

  path_.push_back({&value, 0});
  for (std::size_t i = 0; i < members.size(); ++i) {
    path_.back().position = i;
    if (!append(members[i].value, object.values)) return false;
  }
  path_.pop_back();

  object.self_def_index = builder_.intern_object_shape(members);
  out.emplace_back(std::move(object));
  return true;
}

std::string JsonValueCompiler::pointer_to_item(std::size_t index) const {
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

CompileBuilder::CompileBuilder() : definitions(builtin_definitions()) {}

VelqData CompileBuilder::emit_string(std::string_view text) {
  HashedText probe = HashedText::of(text);
  if (auto known = string_positions.find(probe); known != string_positions.end()) {
    return VelqStrRef{known->second};
  }
  auto seen = seen_strings.find(probe);
  if (seen == seen_strings.end()) {
    seen_strings.insert(HashedText{string_store.copy_string(text), probe.hash});
    return std::string(text);
  }
  auto position = static_cast<std::uint32_t>(dict.size());
  dict.emplace_back(text);
  string_positions.emplace(*seen, position);
  return VelqStrRef{position};
}

Result<std::uint16_t> CompileBuilder::intern_array_shape(std::uint8_t elem_type) {
  auto type = static_cast<VelqType>(elem_type);
  if (auto known = array_shapes.find(type); known != array_shapes.end()) return known->second;
  std::uint16_t index = next_def_index++;
  if (!is_type_byte(elem_type)) return VelqError::parse("Unknown VELQ type tag: 0x" + hex_byte(elem_type));
  VelqDefinition& definition = definitions.emplace_back();
  definition.index = index;
  definition.kind = VelqType::Array;
  definition.elem_type = type;
  array_shapes.emplace(type, index);
  return index;
}

std::uint16_t CompileBuilder::intern_object_shape(std::span<const JsonMember> members) {
  // Per member: key length, key bytes, type byte. The length prefix keeps the
  // key unambiguous whatever bytes the keys hold.
  shape_key_buffer.clear();
  for (const JsonMember& member : members) {
    append_varint(shape_key_buffer, member.key.size());
    shape_key_buffer.append(member.key);
    shape_key_buffer.push_back(static_cast<char>(json_type_code(member.value)));
  }
  if (auto known = object_shapes.find(std::string_view(shape_key_buffer)); known != object_shapes.end()) {
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
  object_shapes.emplace(shape_key_buffer, index);
  return index;
}

Result<VelqData> compile_inline(CompileBuilder& builder, const JsonValue& value) {
  std::vector<VelqData> out;
  out.reserve(1);
  JsonValueCompiler compiler(builder);
  if (!compiler.append(value, out)) return compiler.take_error();
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

Status check_reader_limits(const VelqDocument& document) {
  if (document.definitions.size() > MAX_DEFINITIONS) {
    return VelqError::parse("Definition count " + std::to_string(document.definitions.size()) +
                            " exceeds max " + std::to_string(MAX_DEFINITIONS));
  }
  for (const VelqDefinition& definition : document.definitions) {
    if (definition.kind != VelqType::Object || !definition.fields) continue;
    if (definition.fields->size() > MAX_OBJECT_FIELDS) {
      return VelqError::parse("Object #" + std::to_string(definition.index) + " has " +
                              std::to_string(definition.fields->size()) + " fields (max " +
                              std::to_string(MAX_OBJECT_FIELDS) + ")");
    }
  }
  return {};
}

// ---------------------------------------------------------------------------
// Value compiler

namespace {

// Object shape keys name each value by one digit; array shape keys use the
// type code in decimal.
char type_character(const VelqData& node) {
  switch (node.index()) {
    case kArrayIndex: return '6';
    case kObjectIndex: return '7';
    default: return static_cast<char>('0' + static_cast<int>(type_of(node)));
  }
}

}  // namespace

DataCompiler::DataCompiler() : definitions(builtin_definitions()) {}

void DataCompiler::walk(const VelqData& node) {
  switch (node.index()) {
    case kStringIndex: {
      const std::string& text = std::get<std::string>(node);
      if (!string_positions.contains(std::string_view(text))) {
        string_positions.emplace(text, static_cast<std::uint32_t>(dict.size()));
        dict.push_back(text);
      }
      return;
    }
    case kArrayIndex: {
      const VelqArray& array = std::get<VelqArray>(node);
      int elem_code = array.items.empty() ? 0 : static_cast<int>(type_of(array.items.front()));
      shape_key_buffer_.assign("arr:");
      shape_key_buffer_.append(std::to_string(array.self_def_index));
      shape_key_buffer_.push_back(':');
      shape_key_buffer_.append(std::to_string(elem_code));
      auto [entry, created] = array_shapes.try_emplace(shape_key_buffer_, next_def_index);
      if (created) {
        VelqDefinition& definition = definitions.emplace_back();
        definition.index = next_def_index++;
        definition.kind = VelqType::Array;
        definition.elem_type = static_cast<VelqType>(elem_code);
      }
      node_def_indices.push_back(entry->second);
      for (const VelqData& item : array.items) walk(item);
      return;
    }
    case kObjectIndex: {
      const VelqObject& object = std::get<VelqObject>(node);
      std::size_t slot = node_def_indices.size();
      node_def_indices.push_back(0);
      for (const VelqData& value : object.values) walk(value);
      // Built only now: the nested walks above reuse the buffer.
      shape_key_buffer_.assign("obj:");
      shape_key_buffer_.append(std::to_string(object.self_def_index));
      shape_key_buffer_.push_back(':');
      for (std::size_t i = 0; i < object.values.size(); ++i) {
        if (i > 0) shape_key_buffer_.push_back(',');
        shape_key_buffer_.push_back(type_character(object.values[i]));
      }
      auto [entry, created] = object_shapes.try_emplace(shape_key_buffer_, next_def_index);
      if (created) {
        std::vector<VelqField> fields;
        fields.reserve(object.values.size());
        for (std::size_t i = 0; i < object.values.size(); ++i) {
          fields.push_back({"f" + std::to_string(i), type_of(object.values[i])});
        }
        VelqDefinition& definition = definitions.emplace_back();
        definition.fields = std::move(fields);
        definition.index = next_def_index++;
        definition.kind = VelqType::Object;
      }
      node_def_indices[slot] = entry->second;
      return;
    }
    default: return;
  }
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

VelqDocument compile_data(const VelqData& root) {
  DataCompiler compiler;
  compiler.walk(root);
  std::uint16_t def_index = root.index() == kArrayIndex || root.index() == kObjectIndex
                                ? compiler.node_def_indices.front()
                                : static_cast<std::uint16_t>(type_of(root));
  VelqData data = compiler.rewrite_indices(root);
  return single_chunk_document(std::move(compiler.definitions), std::move(compiler.dict), std::move(data),
                               def_index);
}

}  // namespace velq
