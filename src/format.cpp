#include "format.h"

#include "error.h"

namespace velq {

std::string unknown_type_tag_message(std::uint8_t byte) { return "Unknown VELQ type tag: 0x" + hex_byte(byte); }

std::string unknown_definition_message(std::uint16_t index) {
  return compose_message("Unknown definition index: ", index);
}

std::string nesting_too_deep_message(VelqType container) {
  if (container == VelqType::Object) return compose_message("Max recursion depth ", MAX_DEPTH, " exceeded at Object");
  return "Max recursion depth";
}

std::string too_many_definitions_message(std::size_t count) {
  return compose_message("Definition count ", count, " exceeds max ", MAX_DEFINITIONS);
}

std::string too_many_object_fields_message(std::uint16_t index, std::size_t count) {
  return compose_message("Object #", index, " has ", count, " fields (max ", MAX_OBJECT_FIELDS, ")");
}

std::string too_many_array_items_message(std::size_t count) {
  return compose_message("Too many array items (", count, "), max ", MAX_ARRAY_ITEMS);
}

std::string missing_elem_type_message(std::uint16_t index) { return compose_message("Array #", index, " has no elem_type"); }

std::string missing_fields_message(std::uint16_t index) { return compose_message("Object #", index, " has no fields"); }

}  // namespace velq
