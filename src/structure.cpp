#include "structure.h"

namespace velq {

std::string_view type_name(VelqType type) {
  switch (type) {
    case VelqType::Null: return "Null";
    case VelqType::Bool: return "Bool";
    case VelqType::Int32: return "Int32";
    case VelqType::UInt32: return "UInt32";
    case VelqType::Float32: return "Float32";
    case VelqType::String: return "String";
    case VelqType::Array: return "Array";
    case VelqType::Object: return "Object";
  }
  return "Unknown";
}

std::vector<VelqDefinition> builtin_definitions() {
  std::vector<VelqDefinition> definitions;
  definitions.reserve(4 * BUILTIN_DEFINITION_COUNT);
  definitions.resize(BUILTIN_DEFINITION_COUNT);
  for (std::uint16_t i = 0; i < BUILTIN_DEFINITION_COUNT; ++i) {
    definitions[i].index = i;
    definitions[i].kind = static_cast<VelqType>(i);
  }
  return definitions;
}

std::vector<VelqDefinition> owned_definitions(const VelqDocument& document) {
  std::vector<VelqDefinition> owned;
  owned.reserve(document.definitions.size());
  for (const ReadDefinition& read : document.definitions) {
    VelqDefinition& definition = owned.emplace_back();
    definition.index = read.index;
    definition.kind = read.kind;
    definition.elem_type = read.elem_type;
    if (read.has_fields()) {
      std::vector<VelqField>& fields = definition.fields.emplace();
      for (const ReadField& field : document.fields_of(read)) fields.push_back({std::string(field.name), field.type});
    }
  }
  return owned;
}

}  // namespace velq
