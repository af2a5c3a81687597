#include "decompile.h"

#include <cmath>
#include <span>
#include <utility>

namespace velq {

namespace {

// Converts one node and everything below it. The first error is kept here
// and ends the conversion.
class Decompiler {
 public:
  Decompiler(const std::vector<VelqDefinition>& definitions, const std::vector<std::string>& dict,
             JsonArena& arena)
      : definitions_(definitions), dict_(dict), arena_(arena) {}

  bool convert(const VelqData& node, bool top_level, JsonValue& out);
  VelqError take_error() { return std::move(error_); }

 private:
  bool fail(std::string message) {
    error_ = VelqError::parse(std::move(message));
    return false;
  }
  bool convert_float(float value, JsonValue& out);
  bool convert_str_ref(VelqStrRef ref, bool top_level, JsonValue& out);
  bool convert_array(const VelqArray& array, JsonValue& out);
  bool convert_object(const VelqObject& object, JsonValue& out);
  const VelqDefinition* find_definition(std::uint16_t index) const;

  const std::vector<VelqDefinition>& definitions_;
  const std::vector<std::string>& dict_;
  JsonArena& arena_;
  VelqError error_;
};

bool Decompiler::convert(const VelqData& node, bool top_level, JsonValue& out) {
  switch (node.index()) {
    case kNullIndex: out = JsonValue::null(); return true;
    case kBoolIndex: out = JsonValue::from_bool(std::get<bool>(node)); return true;
    case kInt32Index: {
      std::int32_t value = std::get<std::int32_t>(node);
      out = value < 0 ? JsonValue::from_int(value) : JsonValue::from_uint(static_cast<std::uint64_t>(value));
      return true;
    }
    case kUInt32Index: out = JsonValue::from_uint(std::get<std::uint32_t>(node)); return true;
    case kFloat32Index: return convert_float(std::get<float>(node), out);
    case kStringIndex: out = JsonValue::from_string(std::get<std::string>(node)); return true;
    case kStrRefIndex: return convert_str_ref(std::get<VelqStrRef>(node), top_level, out);
    case kArrayIndex: return convert_array(std::get<VelqArray>(node), out);
    case kObjectIndex: return convert_object(std::get<VelqObject>(node), out);
  }
  return true;
}

bool Decompiler::convert_float(float value, JsonValue& out) {
  if (std::isnan(value)) return fail("Cannot represent float NaN");
  if (std::isinf(value)) return fail(value > 0 ? "Cannot represent float inf" : "Cannot represent float -inf");
  out = JsonValue::from_double(static_cast<double>(value));
  return true;
}

bool Decompiler::convert_str_ref(VelqStrRef ref, bool top_level, JsonValue& out) {
  if (ref.index >= dict_.size()) {
    std::string message = "StrRef index " + std::to_string(ref.index) + " out of bounds";
    if (top_level) message += " (dict len " + std::to_string(dict_.size()) + ")";
    return fail(std::move(message));
  }
  out = JsonValue::from_string(dict_[ref.index]);
  return true;
}

bool Decompiler::convert_array(const VelqArray& array, JsonValue& out) {
  std::size_t count = array.items.size();
  JsonValue* items = count == 0 ? nullptr : arena_.new_values(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (!convert(array.items[i], false, items[i])) return false;
  }
  out = JsonValue::from_array(items, count);
  return true;
}

// By position first; another writer's definitions need not stand at their index.
const VelqDefinition* Decompiler::find_definition(std::uint16_t index) const {
  if (index < definitions_.size() && definitions_[index].index == index) return &definitions_[index];
  for (const VelqDefinition& definition : definitions_) {
    if (definition.index == index) return &definition;
  }
  return nullptr;
}

bool Decompiler::convert_object(const VelqObject& object, JsonValue& out) {
  std::uint16_t index = object.self_def_index;
  const VelqDefinition* definition = find_definition(index);
  if (definition == nullptr) return fail("Unknown definition index: " + std::to_string(index));
  if (!definition->fields) return fail("Object #" + std::to_string(index) + ": no field definitions");
  const std::vector<VelqField>& fields = *definition->fields;
  if (object.values.size() != fields.size()) {
    return fail("Object #" + std::to_string(index) + ": expected " + std::to_string(fields.size()) +
                " fields, got " + std::to_string(object.values.size()));
  }
  std::size_t count = fields.size();
  JsonMember* members = count == 0 ? nullptr : arena_.new_members(count);
  for (std::size_t i = 0; i < count; ++i) {
    members[i].key = fields[i].name;
    if (!convert(object.values[i], false, members[i].value)) return false;
  }
  // Keys in byte order; of repeated field names the later one wins.
  std::size_t kept = count == 0 ? 0 : sort_members(members, count);
  out = JsonValue::from_object(members, kept);
  return true;
}

Result<JsonValue> convert_root(const VelqData& data, bool top_level,
                               const std::vector<VelqDefinition>& definitions,
                               const std::vector<std::string>& dict, JsonArena& arena) {
  Decompiler decompiler(definitions, dict, arena);
  JsonValue value;
  if (!decompiler.convert(data, top_level, value)) return decompiler.take_error();
  return value;
}

}  // namespace

Result<JsonValue> chunk_to_json(const VelqData& data, const std::vector<VelqDefinition>& definitions,
                                const std::vector<std::string>& dict, JsonArena& arena) {
  return convert_root(data, true, definitions, dict, arena);
}

Result<JsonValue> data_to_json(const VelqData& data, const std::vector<VelqDefinition>& definitions,
                               const std::vector<std::string>& dict, JsonArena& arena) {
  return convert_root(data, false, definitions, dict, arena);
}

Result<JsonDocument> decompile_document(const VelqDocument& document) {
  JsonDocument result;
  const std::vector<VelqChunk>& chunks = document.chunks;
  if (chunks.empty()) return result;

  Decompiler decompiler(document.definitions, document.dict, *result.arena);
  if (chunks.size() == 1) {
    if (!decompiler.convert(chunks.front().data, true, result.root)) return decompiler.take_error();
    return result;
  }
  JsonValue* values = result.arena->new_values(chunks.size());
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!decompiler.convert(chunks[i].data, true, values[i])) return decompiler.take_error();
  }
  result.root = JsonValue::from_array(values, chunks.size());
  return result;
}

}  // namespace velq
