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

}  // namespace velq
