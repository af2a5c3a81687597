#include "decompile.h"

#include <algorithm>
#include <numeric>
#include <span>
#include <utility>

namespace velq {

ObjectLayout layout_object(const std::vector<VelqField>& fields, std::size_t id) {
  ObjectLayout layout;
  layout.fields = &fields;
  layout.id = id;
  std::vector<std::uint16_t>& members = layout.members;
  members.resize(fields.size());
  std::iota(members.begin(), members.end(), std::uint16_t{0});
  auto name_of = [&fields](std::uint16_t position) -> std::string_view { return fields[position].name; };
  auto before = [&name_of](std::uint16_t a, std::uint16_t b) { return name_of(a) < name_of(b); };
  // The JSON compiler writes the fields in strictly ascending order already.
  auto not_before = [&before](std::uint16_t a, std::uint16_t b) { return !before(a, b); };
  if (std::adjacent_find(members.begin(), members.end(), not_before) == members.end()) return layout;
  // Stable, so that fields of one name stay in field order and the last of each run is the one kept.
  std::stable_sort(members.begin(), members.end(), before);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && name_of(members[i]) == name_of(members[i + 1])) continue;
    members[kept++] = members[i];
  }
  members.resize(kept);
  return layout;
}

namespace {

// Builds the JSON value tree: finished values wait on a stack until their array or object is
// complete, then move into the arena in one piece.
class JsonTreeBuilder {
 public:
  explicit JsonTreeBuilder(JsonArena& arena) : arena_(arena) {}

  bool null() { return push(JsonValue::null()); }
  bool boolean(bool value) { return push(JsonValue::from_bool(value)); }
  bool non_negative(std::uint64_t value) { return push(JsonValue::from_uint(value)); }
  bool negative(std::int64_t value) { return push(JsonValue::from_int(value)); }
  bool real(double value) { return push(JsonValue::from_double(value)); }
  bool string(std::string_view text, bool) { return push(JsonValue::from_string(text)); }
  bool dict_string(std::uint32_t, std::string_view text) { return push(JsonValue::from_string(text)); }

  bool array(std::size_t count) {
    const std::size_t base = stack_.size() - count;
    const JsonValue* items = arena_.copy_values(std::span<const JsonValue>(stack_).subspan(base));
    stack_.resize(base);
    return push(JsonValue::from_array(items, count));
  }

  bool object(const ObjectLayout& layout) {
    const std::vector<VelqField>& fields = *layout.fields;
    const std::size_t base = stack_.size() - fields.size();
    const std::size_t count = layout.members.size();
    JsonMember* members = count == 0 ? nullptr : arena_.new_members(count);
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint16_t field = layout.members[k];
      members[k] = {fields[field].name, stack_[base + field]};
    }
    stack_.resize(base);
    return push(JsonValue::from_object(members, count));
  }

  JsonValue root() const { return stack_.back(); }

 private:
  bool push(const JsonValue& value) {
    stack_.push_back(value);
    return true;
  }

  JsonArena& arena_;
  std::vector<JsonValue> stack_;
};

using TreeDecompiler = Decompiler<JsonTreeBuilder>;

// Hands one node and everything below it to the decompiler, in document order. False once the
// decompilation has failed.
bool walk(const VelqData& node, TreeDecompiler& decompiler) {
  switch (node.index()) {
    case kNullIndex: decompiler.null(); break;
    case kBoolIndex: decompiler.boolean(*std::get_if<bool>(&node)); break;
    case kInt32Index: decompiler.int32(*std::get_if<std::int32_t>(&node)); break;
    case kUInt32Index: decompiler.uint32(*std::get_if<std::uint32_t>(&node)); break;
    case kFloat32Index: decompiler.float32(*std::get_if<float>(&node)); break;
    case kStringIndex: decompiler.string(*std::get_if<std::string>(&node), false); break;
    case kStrRefIndex: decompiler.str_ref(std::get_if<VelqStrRef>(&node)->index); break;
    case kArrayIndex: {
      const VelqArray& array = *std::get_if<VelqArray>(&node);
      decompiler.begin_array(array.items.size());
      for (const VelqData& item : array.items) {
        if (!walk(item, decompiler)) return false;
      }
      decompiler.end_array();
      break;
    }
    case kObjectIndex: {
      const VelqObject& object = *std::get_if<VelqObject>(&node);
      decompiler.begin_object(object.self_def_index, object.values.size());
      if (decompiler.failed()) return false;
      for (const VelqData& value : object.values) {
        if (!walk(value, decompiler)) return false;
      }
      decompiler.end_object();
      break;
    }
  }
  return !decompiler.failed();
}

Result<JsonValue> convert_root(const VelqData& data, bool top_level,
                               const std::vector<VelqDefinition>& definitions,
                               const std::vector<std::string>& dict, JsonArena& arena) {
  JsonTreeBuilder builder(arena);
  TreeDecompiler decompiler(builder);
  if (!top_level) decompiler.start_below_top_level();
  decompiler.begin_entries(definitions, dict, 1);
  if (!walk(data, decompiler)) return decompiler.take_error();
  decompiler.end_entries();
  return builder.root();
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
  JsonTreeBuilder builder(*result.arena);
  TreeDecompiler decompiler(builder);
  decompiler.begin_entries(document.definitions, document.dict, document.chunks.size());
  for (const VelqChunk& chunk : document.chunks) {
    if (!walk(chunk.data, decompiler)) return decompiler.take_error();
  }
  decompiler.end_entries();
  result.root = builder.root();
  return result;
}

}  // namespace velq
