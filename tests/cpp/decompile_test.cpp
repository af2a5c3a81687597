#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "compile.h"
#include "decode.h"
#include "decompile.h"
#include "encode.h"
#include "test_support.h"

namespace velq {
namespace {

using namespace velq::test_support;

VelqData A(std::vector<VelqData> items, std::uint16_t self = 6) { return VelqArray{self, 0, std::move(items)}; }

VelqDefinition arr_def(std::uint16_t index) { return {std::nullopt, index, VelqType::Array, VelqType::Int32}; }
VelqDefinition obj_def(std::uint16_t index, std::vector<std::string> names) {
  std::vector<VelqField> fields;
  for (std::string& name : names) fields.push_back({std::move(name), VelqType::Int32});
  return {std::move(fields), index, VelqType::Object, std::nullopt};
}

// Compact JSON text of a tree, with the number kind visible: doubles always
// carry a decimal point or exponent, so 7 and 7.0 differ.
std::string text_of(const JsonValue& value) {
  switch (value.kind) {
    case JsonKind::Null: return "null";
    case JsonKind::Bool: return value.boolean ? "true" : "false";
    case JsonKind::UInt: return std::to_string(value.uint);
    case JsonKind::Int: return "-" + std::to_string(-static_cast<std::uint64_t>(value.sint)) + "i";
    case JsonKind::Double: {
      char buffer[40];
      std::snprintf(buffer, sizeof buffer, "%.17gd", value.dbl);
      return buffer;
    }
    case JsonKind::String: return "\"" + std::string(value.string()) + "\"";
    case JsonKind::Array: {
      std::string out = "[";
      for (const JsonValue& item : value.array()) out += (out.size() > 1 ? "," : "") + text_of(item);
      return out + "]";
    }
    case JsonKind::Object: {
      std::string out = "{";
      for (const JsonMember& member : value.object()) {
        out += (out.size() > 1 ? ",\"" : "\"") + std::string(member.key) + "\":" + text_of(member.value);
      }
      return out + "}";
    }
  }
  return "?";
}

VelqDocument document_of(std::vector<VelqData> chunk_data, std::vector<VelqDefinition> extra = {},
                         std::vector<std::string> dict = {}) {
  VelqDocument document;
  document.definitions = builtin_definitions();
  document.definitions.insert(document.definitions.end(), extra.begin(), extra.end());
  document.dict = std::move(dict);
  for (VelqData& data : chunk_data) document.chunks.push_back({std::move(data), 0});
  return document;
}

struct DecompileCase {
  const char* name;
  VelqDocument document;
  const char* expected;  // text_of the result, or the error message
  bool fails = false;
};

void PrintTo(const DecompileCase& c, std::ostream* os) { *os << c.name; }

class Decompile : public testing::TestWithParam<DecompileCase> {};

TEST_P(Decompile, Document) {
  const DecompileCase& c = GetParam();
  Result<JsonDocument> result = decompile_document(c.document);
  if (c.fails) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, c.expected);
  } else {
    ASSERT_TRUE(result.ok()) << result.error().message;
    EXPECT_EQ(text_of(result.value().root), c.expected);
  }
}

const float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Values, Decompile,
    testing::Values(
        DecompileCase{"NoChunks", document_of({}), "null"},
        DecompileCase{"OneChunkIsNotWrapped", document_of({I(1)}), "1"},
        DecompileCase{"SeveralChunksMakeAnArray", document_of({I(1), S("a")}), "[1,\"a\"]"},
        DecompileCase{"Integers", document_of({A({I(-5), I(7), U(7), U(4294967295), I(-2147483648)})}),
                      "[-5i,7,7,4294967295,-2147483648i]"},
        DecompileCase{"ExactFloatWidening", document_of({A({F(1.5), F(0.1f), F(-0.0f)})}),
                      "[1.5d,0.10000000149011612d,-0d]"},
        DecompileCase{"ScalarsAndStrRefs", document_of({A({N(), B(true), R(1), R(0)})}, {}, {"p", "q"}),
                      "[null,true,\"q\",\"p\"]"},
        DecompileCase{"TopLevelStrRef", document_of({R(0)}, {}, {"p"}), "\"p\""},
        DecompileCase{"KeysInByteOrder", document_of({O(6, {I(1), I(2)})}, {obj_def(6, {"b", "a"})}),
                      "{\"a\":2,\"b\":1}"},
        DecompileCase{"NumberedFieldsSortAsText",
                      document_of({O(6, {I(0), I(1), I(2), I(10), I(11)})},
                                  {obj_def(6, {"f0", "f1", "f2", "f10", "f11"})}),
                      "{\"f0\":0,\"f1\":1,\"f10\":10,\"f11\":11,\"f2\":2}"},
        DecompileCase{"LaterDuplicateFieldWins", document_of({O(6, {I(1), I(2)})}, {obj_def(6, {"x", "x"})}),
                      "{\"x\":2}"},
        DecompileCase{"EmptyFieldList", document_of({O(6, {})}, {obj_def(6, {})}), "{}"},
        DecompileCase{"ArrayIndicesAreNotConsulted", document_of({VelqArray{900, 901, {A({}, 777)}}}),
                      "[[]]"},
        DecompileCase{"NestedObjects",
                      document_of({A({O(7, {O(6, {S("v")}), A({R(0)})})})},
                                  {obj_def(6, {"k"}), obj_def(7, {"z", "a"})}, {"d"}),
                      "[{\"a\":[\"d\"],\"z\":{\"k\":\"v\"}}]"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Errors, Decompile,
    testing::Values(
        DecompileCase{"Infinity", document_of({F(kInf)}), "Cannot represent float inf", true},
        DecompileCase{"NegativeInfinity", document_of({A({F(-kInf)})}), "Cannot represent float -inf", true},
        DecompileCase{"NaN", document_of({F(std::numeric_limits<float>::quiet_NaN())}),
                      "Cannot represent float NaN", true},
        DecompileCase{"StrRefAtTopLevel", document_of({R(2)}, {}, {"a", "b"}),
                      "StrRef index 2 out of bounds (dict len 2)", true},
        DecompileCase{"StrRefBelowTopLevel", document_of({A({R(2)})}, {}, {"a", "b"}),
                      "StrRef index 2 out of bounds", true},
        DecompileCase{"StrRefInObject", document_of({O(6, {R(0)})}, {obj_def(6, {"a"})}),
                      "StrRef index 0 out of bounds", true},
        DecompileCase{"ObjectOnArrayDefinition", document_of({O(6, {})}, {arr_def(6)}),
                      "Object #6: no field definitions", true},
        DecompileCase{"ObjectOnPrimitiveDefinition", document_of({O(2, {})}), "Object #2: no field definitions",
                      true},
        DecompileCase{"UnknownDefinition", document_of({O(9, {})}, {obj_def(6, {})}),
                      "Unknown definition index: 9", true},
        DecompileCase{"TooFewValues", document_of({O(6, {I(1)})}, {obj_def(6, {"a", "b"})}),
                      "Object #6: expected 2 fields, got 1", true},
        DecompileCase{"TooManyValues", document_of({O(6, {I(1), I(2)})}, {obj_def(6, {})}),
                      "Object #6: expected 0 fields, got 2", true},
        DecompileCase{"ValueOfOverwrittenFieldStillChecked",
                      document_of({O(6, {F(kInf), I(2)})}, {obj_def(6, {"x", "x"})}),
                      "Cannot represent float inf", true},
        DecompileCase{"FirstFailingChunkWins", document_of({I(1), R(5), F(kInf)}),
                      "StrRef index 5 out of bounds (dict len 0)", true}),
    [](const auto& info) { return std::string(info.param.name); });

// Another writer's definitions need not stand at the position their index names.
TEST(DecompileDefinitionLookup, PositionFirstThenSearchByIndex) {
  VelqDocument document;
  document.definitions = {obj_def(0, {"p0"}), obj_def(3, {"early"}), obj_def(2, {"p2"}),
                          obj_def(3, {"at_position"}), obj_def(9, {"late"}), obj_def(9, {"later"})};
  document.chunks.push_back({O(3, {I(1)}), 3});
  document.chunks.push_back({O(9, {I(2)}), 4});
  document.chunks.push_back({O(2, {I(3)}), 2});
  Result<JsonDocument> result = decompile_document(document);
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ(text_of(result.value().root), "[{\"at_position\":1},{\"late\":2},{\"p2\":3}]");
}

TEST(DecompileStrings, PointIntoTheDocument) {
  VelqDocument document = document_of({A({S("inline"), R(0)})}, {}, {"shared"});
  Result<JsonDocument> result = decompile_document(document);
  ASSERT_TRUE(result.ok());
  auto items = result.value().root.array();
  EXPECT_EQ(items[0].str, std::get<std::string>(std::get<VelqArray>(document.chunks[0].data).items[0]).data());
  EXPECT_EQ(items[1].str, document.dict[0].data());
}

TEST(DecompileNodes, ChunkAndDataDifferOnlyInTheStrRefMessage) {
  std::vector<VelqDefinition> definitions = builtin_definitions();
  std::vector<std::string> dict = {"a"};
  JsonArena arena;
  EXPECT_EQ(chunk_to_json(R(1), definitions, dict, arena).error().message,
            "StrRef index 1 out of bounds (dict len 1)");
  EXPECT_EQ(data_to_json(R(1), definitions, dict, arena).error().message, "StrRef index 1 out of bounds");
  Result<JsonValue> value = data_to_json(R(0), definitions, dict, arena);
  ASSERT_TRUE(value.ok());
  EXPECT_EQ(text_of(value.value()), "\"a\"");
}

// What the JSON compiler writes comes back as the same JSON value, keys in byte order.
TEST(DecompileCompiled, RoundTripThroughTheJsonCompiler) {
  JsonArena arena;
  JsonValue tags[] = {JsonValue::from_string("x"), JsonValue::from_string("y"), JsonValue::from_string("x")};
  JsonValue mixed[] = {JsonValue::from_uint(1), JsonValue::from_double(2.5)};
  JsonMember members[] = {{"mixed", JsonValue::from_array(mixed, 2)},
                          {"name", JsonValue::from_string("x")},
                          {"tags", JsonValue::from_array(tags, 3)},
                          {"u", JsonValue::from_uint(18446744073709551615ull)}};
  CompileBuilder builder;
  Result<VelqData> data = compile_inline(builder, JsonValue::from_object(members, 4));
  ASSERT_TRUE(data.ok());
  VelqDocument document;
  document.definitions = std::move(builder.definitions);
  document.dict = std::move(builder.dict);
  document.chunks.push_back({std::move(data).value(), 0});
  Result<JsonDocument> result = decompile_document(document);
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ(text_of(result.value().root), "{\"mixed\":[1d,2.5d],\"name\":\"x\",\"tags\":[\"x\",\"y\",\"x\"],\"u\":4294967295}");
}

// What the value compiler writes comes back with numbered fields.
TEST(DecompileCompiled, RoundTripThroughTheValueCompiler) {
  VelqDocument document = compile_data(O(0, {S("k"), A({I(1), I(2)}, 0), S("a"), O(0, {})}));
  Result<JsonDocument> result = decompile_document(document);
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ(text_of(result.value().root), "{\"f0\":\"k\",\"f1\":[1,2],\"f2\":\"a\",\"f3\":{}}");
}

// A builder that writes the text of text_of(), for the Decompiler fed by decode_document_to.
class TextBuilder {
 public:
  bool null() { return push("null"); }
  bool boolean(bool value) { return push(value ? "true" : "false"); }
  bool non_negative(std::uint64_t value) { return push(text_of(JsonValue::from_uint(value))); }
  bool negative(std::int64_t value) { return push(text_of(JsonValue::from_int(value))); }
  bool real(double value) { return push(text_of(JsonValue::from_double(value))); }
  bool string(std::string_view text, bool) { return push("\"" + std::string(text) + "\""); }
  bool dict_string(std::uint32_t, std::string_view text) { return push("\"" + std::string(text) + "\""); }
  bool array(std::size_t count) {
    std::string out = "[";
    for (std::size_t i = stack_.size() - count; i < stack_.size(); ++i) {
      out += (out.size() > 1 ? "," : "") + stack_[i];
    }
    stack_.resize(stack_.size() - count);
    return push(out + "]");
  }
  bool object(const ObjectLayout& layout) {
    const std::size_t base = stack_.size() - layout.fields->size();
    std::string out = "{";
    for (std::uint16_t field : layout.members) {
      out += (out.size() > 1 ? ",\"" : "\"") + (*layout.fields)[field].name + "\":" + stack_[base + field];
    }
    stack_.resize(base);
    return push(out + "}");
  }
  std::string root() const { return stack_.back(); }

 private:
  bool push(std::string text) {
    stack_.push_back(std::move(text));
    return true;
  }
  std::vector<std::string> stack_;
};

// The text of decompiling the bytes on the road of loads (values go from the decoder straight to
// the decompiler), or the first error.
std::string decompile_while_decoding(const std::string& bytes) {
  TextBuilder builder;
  Decompiler<TextBuilder> decompiler(builder);
  Status decoded = decode_document_to(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), decompiler);
  if (!decoded.ok()) return "error: " + decoded.error().message;
  if (decompiler.failed()) return "error: " + decompiler.take_error().message;
  return builder.root();
}

// The same by decode_document, then decompile_document.
std::string decompile_after_decoding(const std::string& bytes) {
  Result<VelqDocument> document = decode_document(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  if (!document.ok()) return "error: " + document.error().message;
  Result<JsonDocument> tree = decompile_document(document.value());
  if (!tree.ok()) return "error: " + tree.error().message;
  return text_of(tree.value().root);
}

// A document of another writer: definitions away from their index, repeated and unsorted field
// names, several chunks.
VelqDefinition typed_obj_def(std::uint16_t index, std::vector<VelqField> fields) {
  return {std::move(fields), index, VelqType::Object, std::nullopt};
}

VelqDocument foreign_document() {
  VelqDocument document;
  document.definitions = builtin_definitions();
  document.definitions.push_back(typed_obj_def(7, {{"late", VelqType::String}}));   // position 6
  document.definitions.push_back(typed_obj_def(6, {{"early", VelqType::String}}));  // position 7
  document.definitions.push_back(
      typed_obj_def(8, {{"z", VelqType::String}, {"a", VelqType::Array}, {"z", VelqType::String}}));
  document.definitions.push_back({std::nullopt, 9, VelqType::Array, VelqType::Float32});
  document.definitions.push_back({std::nullopt, 10, VelqType::Array, VelqType::Object});
  document.definitions.push_back(typed_obj_def(11, {{"b", VelqType::Int32}, {"a", VelqType::Array}}));
  document.definitions.push_back(typed_obj_def(13, {{"p", VelqType::String}, {"q", VelqType::String}}));
  document.definitions.push_back(typed_obj_def(12, {{"r", VelqType::String}}));
  document.dict = {"d0", "\xC3\xA9"};
  document.chunks.push_back({O(8, {R(1), A({F(0.5f), F(-2)}, 9), S("last")}), 8});
  document.chunks.push_back({A({O(11, {I(-1), A({}, 9)}), O(11, {I(7), A({F(1e30f)}, 9)})}, 10), 10});
  document.chunks.push_back({O(6, {S("x")}), 6});
  document.chunks.push_back({R(0), 5});
  return document;
}

// The two roads of loads apply one set of rules: the same values, the same first error, and a
// decoding error before any decompiling error.
TEST(DecompileWhileDecoding, AgreesWithDecompilingTheDocument) {
  std::vector<VelqDocument> documents;
  documents.push_back(foreign_document());
  documents.push_back(document_of({}));
  documents.push_back(document_of({I(5)}));
  {
    VelqDocument failing = foreign_document();  // an infinity, then a StrRef out of range
    failing.chunks.push_back({A({F(kInf)}, 9), 9});
    failing.chunks.push_back({R(9), 5});
    documents.push_back(failing);
    VelqDocument nested = foreign_document();
    nested.chunks[1] = {A({O(8, {R(2), A({}, 9), S("s")})}, 10), 10};
    documents.push_back(nested);
    VelqDocument miscounted = foreign_document();  // read with 2 fields, named by the definition of 1
    miscounted.chunks.push_back({O(12, {S("1"), S("2")}), 12});
    documents.push_back(miscounted);
  }
  std::size_t inputs = 0;
  for (const VelqDocument& document : documents) {
    Result<std::string> encoded = encode_document(document);
    ASSERT_TRUE(encoded.ok()) << encoded.error().message;
    const std::string& bytes = encoded.value();
    // The document itself, every truncation and some damaged bytes.
    std::vector<std::string> variants = {bytes};
    for (std::size_t at = 0; at < bytes.size(); ++at) {
      variants.push_back(bytes.substr(0, at));
      for (unsigned char replacement : {0x00, 0x09, 0x7F, 0xFF}) {
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(replacement);
        variants.push_back(damaged);
      }
    }
    for (const std::string& variant : variants) {
      ++inputs;
      ASSERT_EQ(decompile_while_decoding(variant), decompile_after_decoding(variant)) << to_hex(variant);
    }
  }
  EXPECT_EQ(decompile_while_decoding(encode_document(documents[0]).value()),
            "[{\"a\":[0.5d,-2d],\"z\":\"last\"},[{\"a\":[],\"b\":-1i},{\"a\":[1.0000000150474662e+30d],"
            "\"b\":7}],{\"early\":\"x\"},\"d0\"]");
  EXPECT_EQ(decompile_while_decoding(encode_document(documents[3]).value()),
            "error: Cannot represent float inf");
  EXPECT_EQ(decompile_while_decoding(encode_document(documents[4]).value()),
            "error: StrRef index 2 out of bounds");
  EXPECT_EQ(decompile_while_decoding(encode_document(documents[5]).value()),
            "error: Object #12: expected 1 fields, got 2");
  std::string cut = encode_document(documents[3]).value();  // the infinity decodes, the last entry not
  cut.pop_back();
  EXPECT_EQ(decompile_while_decoding(cut), "error: Entry 5 payload (5 bytes) exceeds buffer");
  EXPECT_GT(inputs, 1000u);
}

}  // namespace
}  // namespace velq
