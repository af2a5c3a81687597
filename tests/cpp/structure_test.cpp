#include <gtest/gtest.h>

#include "structure.h"

namespace velq {
namespace {

TEST(Structure, BuiltinDefinitionsArePrimitivesAtTheirOwnIndex) {
  const Definitions defs = builtin_definitions();
  ASSERT_EQ(defs.size(), BUILTIN_DEFINITION_COUNT);
  for (std::uint16_t i = 0; i < 6; ++i) {
    EXPECT_EQ(defs[i].index, i);
    EXPECT_EQ(static_cast<int>(defs[i].kind), i);
    EXPECT_EQ(defs[i].field_count, 0u);
    EXPECT_FALSE(defs[i].elem_type.has_value());
  }
}

TEST(Structure, TypeBytesAndNames) {
  for (int b = 0; b < 256; ++b) {
    bool expected = b <= 5 || b == 0x10 || b == 0x11;
    EXPECT_EQ(is_type_byte(static_cast<std::uint8_t>(b)), expected) << b;
  }
  EXPECT_EQ(type_name(VelqType::UInt32), "UInt32");
  EXPECT_EQ(type_name(VelqType::Object), "Object");
}

}  // namespace
}  // namespace velq
