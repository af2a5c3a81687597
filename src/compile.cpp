#include "compile.h"

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

}  // namespace velq
