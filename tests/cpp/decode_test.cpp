#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "decode.h"
#include "encode.h"
#include "test_support.h"

namespace velq {
namespace {

using test_support::from_hex;

std::string u32_le(std::size_t v) {
  std::string out;
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(v >> shift));
  return out;
}

// A file with the given block contents and a header that points at them.
std::string assemble(std::string_view defs_hex, std::string_view dict_hex, std::string_view data_hex) {
  const std::string defs = from_hex(defs_hex);
  const std::string dict = from_hex(dict_hex);
  const std::size_t dict_at = HEADER_SIZE + defs.size();
  return "\x01" + u32_le(HEADER_SIZE) + u32_le(dict_at) + u32_le(dict_at + dict.size()) + defs + dict +
         from_hex(data_hex);
}

// Decodes from a buffer of exactly the input's size, so that any read past the end is caught by the
// address sanitizer.
Result<VelqDocument> decode(std::string_view bytes) {
  const std::vector<std::uint8_t> buffer(bytes.begin(), bytes.end());
  return decode_document(buffer);
}

std::string decode_error(std::string_view bytes) {
  auto decoded = decode(bytes);
  return decoded.ok() ? "<decoded>" : decoded.error().message;
}

VelqDefinition primitive_def(std::uint16_t index, VelqType kind) {
  return {std::nullopt, index, kind, std::nullopt};
}
VelqDefinition array_def(std::uint16_t index, VelqType elem) {
  return {std::nullopt, index, VelqType::Array, elem};
}
VelqDefinition object_def(std::uint16_t index, std::vector<VelqField> fields) {
  return {std::move(fields), index, VelqType::Object, std::nullopt};
}

VelqDocument with_offsets(VelqDocument doc, std::uint32_t dict_at, std::uint32_t data_at) {
  doc.def_block_offset = HEADER_SIZE;
  doc.dict_block_offset = dict_at;
  doc.data_block_offset = data_at;
  return doc;
}

struct ErrorCase {
  const char* name;
  std::string bytes;
  const char* message;
};

void expect_errors(const std::vector<ErrorCase>& cases) {
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_error(c.bytes), c.message);
  }
}

const std::string kEmptyDict = "00000000";
const std::string kNoEntries = "00000000";

TEST(DecodeDocument, HeaderErrors) {
  expect_errors({
      {"12 bytes", std::string(12, '\x01'), "Header requires 13 bytes, got 12"},
      {"empty input", "", "Header requires 13 bytes, got 0"},
      {"version before offsets", from_hex("02 00000000 00000000 00000000"), "Unsupported VELQ version: 2"},
      {"def block inside the header", from_hex("01 0C000000 0C000000 0C000000"),
       "Def block offset 12 before header"},
      {"dict block before defs", from_hex("01 0E000000 0D000000 0E000000 00"),
       "Dict block offset 13 before defs"},
      {"data block before dict", from_hex("01 0D000000 0F000000 0E000000 00 00"),
       "Data block offset 14 before dict"},
      {"data block past the end", from_hex("01 0D000000 0F000000 1E000000 0000"),
       "Data block offset 30 exceeds buffer length 15"},
      {"offsets near 2^32", from_hex("01 0D000000 FFFFFFFF FFFFFFFF 0000"),
       "Data block offset 4294967295 exceeds buffer length 15"},
  });
}

TEST(DecodeDocument, DefinitionBlockErrors) {
  std::vector<ErrorCase> cases = {
      {"one byte", assemble("00", kEmptyDict, kNoEntries), "Definition block too short: 1 bytes"},
      {"count limit before block length", assemble("0108", kEmptyDict, kNoEntries),
       "Definition count 2049 exceeds max 2048"},
      {"count limit with a long enough block",
       assemble("0108" + std::string(6 * 2049, '0'), kEmptyDict, kNoEntries),
       "Definition count 2049 exceeds max 2048"},
      {"block shorter than 3 bytes per definition", assemble("0200 000000", kEmptyDict, kNoEntries),
       "Definition block has 5 bytes but 2 defs require 8"},
      {"entries run out", assemble("0200 11 0000 0100 016102", kEmptyDict, kNoEntries),
       "Truncated definition block at entry 1"},
      {"kind 06", assemble("0100 060000", kEmptyDict, kNoEntries), "Unknown VELQ type tag: 0x06"},
      {"kind 1F", assemble("0100 1F0000", kEmptyDict, kNoEntries), "Unknown VELQ type tag: 0x1F"},
      {"index cut off", assemble("0200 10000005 0000", kEmptyDict, kNoEntries), "Truncated definition index"},
      {"elem_type cut off", assemble("0100 100000", kEmptyDict, kNoEntries), "Truncated array elem_type"},
      {"elem_type 12", assemble("0100 10000012", kEmptyDict, kNoEntries), "Unknown VELQ type tag: 0x12"},
      {"field count cut off", assemble("0100 11000001", kEmptyDict, kNoEntries),
       "Truncated object field count"},
      {"257 fields, before reading any", assemble("0100 1109000101", kEmptyDict, kNoEntries),
       "Object #9 has 257 fields (max 256)"},
      {"field name length cut off", assemble("0100 1100000100", kEmptyDict, kNoEntries),
       "Truncated field 0 name length"},
      {"name ends at the block end", assemble("0100 1100000200 016102 0162", kEmptyDict, kNoEntries),
       "Truncated field 1 name data"},
      {"name longer than the block", assemble("0100 1100000100 FF6162", kEmptyDict, kNoEntries),
       "Truncated field 0 name data"},
      {"invalid name", assemble("0100 1100000100 01FF02", kEmptyDict, kNoEntries),
       "Invalid UTF-8 in field name: invalid utf-8 sequence of 1 bytes from index 0"},
      {"field type FF", assemble("0100 1100000100 02C3A9 FF", kEmptyDict, kNoEntries),
       "Unknown VELQ type tag: 0xFF"},
      {"name checked before its type byte", assemble("0100 1100000100 01FF FF", kEmptyDict, kNoEntries),
       "Invalid UTF-8 in field name: invalid utf-8 sequence of 1 bytes from index 0"},
      {"incomplete name", assemble("0100 1100000100 0261E2 02", kEmptyDict, kNoEntries),
       "Invalid UTF-8 in field name: incomplete utf-8 byte sequence from index 1"},
  };
  expect_errors(cases);
}

TEST(DecodeDocument, DictBlockErrors) {
  expect_errors({
      {"three bytes", assemble("0000", "000000", kNoEntries), "Dict block too short for entry count"},
      {"dict read before data block", assemble("0000", "0000", ""), "Dict block too short for entry count"},
      {"count beyond the strings", assemble("0000", "02000000 0161", kNoEntries), "Truncated dict string"},
      {"damaged count is not reserved", assemble("0000", "FFFFFFFF 00", kNoEntries), "Truncated dict string"},
      {"lead byte C5", assemble("0000", "01000000 C561", kNoEntries),
       "Invalid dict string encoding byte: 0xC5"},
      {"reference in the dict", assemble("0000", "01000000 FF00000000", kNoEntries),
       "Invalid dict string encoding byte: 0xFF"},
      {"long form cut off", assemble("0000", "01000000 FE0100", kNoEntries), "Truncated long dict string"},
      {"medium form cut off", assemble("0000", "01000000 80", kNoEntries), "Truncated medium dict string"},
      {"short text cut off", assemble("0000", "01000000 036162", kNoEntries), "Truncated dict string data"},
      {"medium text cut off", assemble("0000", "01000000 8005 6162", kNoEntries),
       "Truncated dict string data"},
      {"long text cut off", assemble("0000", "01000000 FE050000 6162", kNoEntries),
       "Truncated dict string data"},
      {"invalid text", assemble("0000", "02000000 0161 02C328", kNoEntries),
       "Invalid UTF-8 in dict: invalid utf-8 sequence of 1 bytes from index 0"},
  });
}

TEST(DecodeDocument, DataBlockErrors) {
  const std::string int32_def = "0100 020000";
  expect_errors({
      {"no data block, after defs and dict", assemble("0000", kEmptyDict, ""),
       "Data block too short: 0 bytes"},
      {"three bytes", assemble("0000", kEmptyDict, "000000"), "Data block too short: 3 bytes"},
      {"entry count 1048577", assemble("0000", kEmptyDict, "01001000"),
       "Data entry count 1048577 exceeds max 1048576"},
      {"entry header cut off", assemble(int32_def, kEmptyDict, "01000000 0000 000000"),
       "Truncated entry 0 header"},
      {"second entry header missing", assemble(int32_def, kEmptyDict, "02000000 0000 04000000 01000000 0000"),
       "Truncated entry 1 header"},
      {"payload past the end", assemble(int32_def, kEmptyDict, "01000000 0000 05000000 01000000"),
       "Entry 0 payload (5 bytes) exceeds buffer"},
      {"payload length near 2^32", assemble(int32_def, kEmptyDict, "01000000 0000 FFFFFFFF 00"),
       "Entry 0 payload (4294967295 bytes) exceeds buffer"},
      {"payload checked before definition index", assemble(int32_def, kEmptyDict, "01000000 0900 05000000"),
       "Entry 0 payload (5 bytes) exceeds buffer"},
      {"unknown definition", assemble(int32_def, kEmptyDict, "01000000 0100 00000000"),
       "Unknown definition index: 1"},
      {"payload longer than its value", assemble(int32_def, kEmptyDict, "01000000 0000 05000000 0100000000"),
       "Mismatch entry 0: consumed 4 of 5"},
      {"value limited to its payload",
       assemble("0100 050000", kEmptyDict, "01000000 0000 02000000 0361 6263"),
       "Truncated short string: need 4 bytes, got 2"},
      {"value error of a later entry",
       assemble("0200 050100 100000 05", kEmptyDict,
                "02000000 0000 01000000 00 0100 06000000 0100 0000 0100"),
       "Expected string/StrRef byte"},
      {"nested array with an unknown definition",
       assemble("0100 10000010", kEmptyDict, "01000000 0000 0C000000 0000 0000 0100 0700 0000 0000"),
       "Unknown definition index: 7"},
  });
}

// Definitions for the value decoders. Their index fields differ from their positions, so messages
// show which one they print.
std::vector<VelqDefinition> value_definitions() {
  return {
      array_def(100, VelqType::Int32),                              // 0
      object_def(101, {{"a", VelqType::Int32}}),                    // 1
      primitive_def(102, VelqType::Int32),                          // 2
      array_def(103, VelqType::String),                             // 3
      object_def(104, {{"s", VelqType::String}, {"b", VelqType::Bool}}),  // 4
  };
}

enum class Reader { Array, Object, Bool, Int32, UInt32, Float32, String };

Result<DecodedValue> read(Reader reader, std::string_view hex) {
  const std::string text = from_hex(hex);
  const std::vector<std::uint8_t> bytes(text.begin(), text.end());
  const std::vector<VelqDefinition> definitions = value_definitions();
  switch (reader) {
    case Reader::Array: return decode_array_value(bytes, definitions, 1);
    case Reader::Object: return decode_object_value(bytes, definitions, 1);
    case Reader::Bool: return decode_primitive_value(bytes, VelqType::Bool);
    case Reader::Int32: return decode_primitive_value(bytes, VelqType::Int32);
    case Reader::UInt32: return decode_primitive_value(bytes, VelqType::UInt32);
    case Reader::Float32: return decode_primitive_value(bytes, VelqType::Float32);
    case Reader::String: return decode_primitive_value(bytes, VelqType::String);
  }
  return VelqError::parse("bad reader");
}

TEST(DecodeValue, Errors) {
  struct ValueErrorCase {
    Reader reader;
    const char* hex;
    const char* message;
  };
  const ValueErrorCase cases[] = {
      {Reader::Array, "", "Truncated array self_def_index"},
      {Reader::Array, "00", "Truncated array self_def_index"},
      {Reader::Array, "0500", "Unknown definition index: 5"},
      {Reader::Array, "0100 0000 0000", "Array #1 has no elem_type"},
      {Reader::Array, "0000 00", "Truncated array elem_def_index"},
      {Reader::Array, "0000 0000 00", "Truncated array count"},
      {Reader::Array, "0000 0000 0200 01000000 020000", "Expected int32 (4 bytes)"},
      {Reader::Array, "0300 0000 0200 0161 03", "Truncated short string: need 4 bytes, got 1"},
      {Reader::Object, "", "Truncated object self_def_index"},
      {Reader::Object, "0900", "Unknown definition index: 9"},
      {Reader::Object, "0000 0000 0000", "Object #0 has no fields"},
      {Reader::Object, "0100 010000", "Expected int32 (4 bytes)"},
      {Reader::Object, "0400 0161", "Expected bool byte"},
      {Reader::Bool, "", "Expected bool byte"},
      {Reader::Int32, "010203", "Expected int32 (4 bytes)"},
      {Reader::UInt32, "010203", "Expected uint32 (4 bytes)"},
      {Reader::Float32, "", "Expected float32 (4 bytes)"},
      {Reader::String, "", "Expected string/StrRef byte"},
      {Reader::String, "03 6162", "Truncated short string: need 4 bytes, got 3"},
      {Reader::String, "81", "Truncated medium string length"},
      {Reader::String, "8101 00", "Truncated medium string: need 259 bytes, got 3"},
      {Reader::String, "C1", "Truncated medium string length"},
      {Reader::String, "FE0100", "Truncated long string length"},
      {Reader::String, "FE050000 61", "Truncated long string: need 9 bytes, got 5"},
      {Reader::String, "FF000000", "Truncated StrRef dict index"},
      {Reader::String, "03 6162FF", "Invalid UTF-8 string: invalid utf-8 sequence of 1 bytes from index 2"},
  };
  for (const ValueErrorCase& c : cases) {
    SCOPED_TRACE(c.hex);
    auto decoded = read(c.reader, c.hex);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().message, c.message);
  }
}

TEST(DecodeValue, AcceptedForms) {
  struct ValueCase {
    Reader reader;
    std::string hex;
    VelqData expected;
    std::size_t taken;
  };
  const std::string c5_medium = "C500" + std::string(2 * 0x500, '6') + "FFFF";  // 0x05·256 bytes of "f"
  const ValueCase cases[] = {
      {Reader::Bool, "02", true, 1},
      {Reader::Bool, "00 01", false, 1},
      {Reader::Int32, "FEFFFFFF", std::int32_t{-2}, 4},
      {Reader::UInt32, "FFFFFFFF", std::uint32_t{0xFFFFFFFF}, 4},
      {Reader::Float32, "0000C03F", 1.5f, 4},
      {Reader::String, "00", std::string(), 1},
      {Reader::String, "8003 616263", std::string("abc"), 5},
      {Reader::String, "FE030000 616263", std::string("abc"), 7},
      {Reader::String, c5_medium, std::string(0x500, 'f'), 0x502},
      {Reader::String, "FF 07000000", VelqStrRef{7}, 5},
      {Reader::String, "06 68C3A9E282AC", std::string("h\xC3\xA9\xE2\x82\xAC"), 7},
      {Reader::Array, "0000 0900 0200 01000000 FFFFFFFF 00",
       VelqArray{0, 9, {std::int32_t{1}, std::int32_t{-1}}}, 14},
      {Reader::Array, "0300 0000 0200 FF01000000 0178", VelqArray{3, 0, {VelqStrRef{1}, std::string("x")}}, 13},
      {Reader::Object, "0400 0178 07", VelqObject{4, {std::string("x"), true}}, 5},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.hex.substr(0, 40));
    auto decoded = read(c.reader, c.hex);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    EXPECT_EQ(decoded.value().data, c.expected);
    EXPECT_EQ(decoded.value().taken, c.taken);
  }
}

TEST(DecodeValue, FloatBitsSurvive) {
  for (std::uint32_t bits : {0x7FA00001u, 0xFFC00000u, 0x80000000u, 0x00000001u}) {
    const std::string le = u32_le(bits);
    const std::vector<std::uint8_t> bytes(le.begin(), le.end());
    auto decoded = decode_primitive_value(bytes, VelqType::Float32);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(std::get<float>(decoded.value().data)), bits);
  }
}

TEST(DecodeValue, StringFormBoundariesReadBack) {
  for (std::size_t length : {0u, 127u, 128u, 16383u, 16384u, 16777215u}) {
    SCOPED_TRACE(length);
    std::string text(length, 'q');
    if (length >= 2) text.replace(length - 2, 2, "\xC3\xA9");
    std::string encoded;
    ASSERT_TRUE(encode_str_inline(text, encoded).ok());
    const std::vector<std::uint8_t> bytes(encoded.begin(), encoded.end());
    auto decoded = decode_primitive_value(bytes, VelqType::String);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    EXPECT_EQ(decoded.value().taken, encoded.size());
    EXPECT_TRUE(std::get<std::string>(decoded.value().data) == text);
  }
}

TEST(DecodeDocument, ReadsWhatTheFormatAllows) {
  struct DocumentCase {
    const char* name;
    std::string bytes;
    std::function<VelqDocument()> expected;
  };
  const DocumentCase cases[] = {
      {"empty document (23 bytes)", from_hex("01 0D000000 0F000000 13000000 0000 00000000 00000000"),
       [] { return with_offsets(VelqDocument{}, 15, 19); }},
      {"object example (43 bytes)",
       from_hex("01 0D000000 17000000 1B000000 0100 11 0000 0100 016102 00000000 01000000 "
                "0000 06000000 0000 01000000"),
       [] {
         VelqDocument doc;
         doc.definitions.push_back(object_def(0, {{"a", VelqType::Int32}}));
         doc.chunks.push_back({VelqObject{0, {std::int32_t{1}}}, 0});
         return with_offsets(std::move(doc), 23, 27);
       }},
      {"array example (50 bytes)",
       from_hex("01 0D000000 13000000 1A000000 0100 10000005 01000000 026869 01000000 0000 0E000000 "
                "000000000200 "
                "FF00000000 02796F"),
       [] {
         VelqDocument doc;
         doc.definitions.push_back(array_def(0, VelqType::String));
         doc.dict = {"hi"};
         doc.chunks.push_back({VelqArray{0, 0, {VelqStrRef{0}, std::string("yo")}}, 0});
         return with_offsets(std::move(doc), 19, 26);
       }},
      {"dict block of zero bytes", assemble("0000", "", kNoEntries), [] { return with_offsets({}, 15, 15); }},
      {"trailing bytes in every block",
       assemble("0100 030400 EEEE", "01000000 0178 EEEE", "01000000 0000 04000000 05000000 EE"),
       [] {
         VelqDocument doc;
         doc.definitions.push_back(primitive_def(4, VelqType::UInt32));
         doc.dict = {"x"};
         doc.chunks.push_back({std::uint32_t{5}, 0});
         return with_offsets(std::move(doc), 20, 28);
       }},
      {"longer forms for short dict strings", assemble("0000", "02000000 8003616263 FE01000064", kNoEntries),
       [] {
         VelqDocument doc;
         doc.dict = {"abc", "d"};
         return with_offsets(std::move(doc), 15, 29);
       }},
      {"dict count zero with trailing bytes", assemble("0000", "00000000 FF", kNoEntries),
       [] { return with_offsets({}, 15, 20); }},
      {"null entry, no payload", assemble("0100 000000", kEmptyDict, "01000000 0000 00000000"),
       [] {
         VelqDocument doc;
         doc.definitions.push_back(primitive_def(0, VelqType::Null));
         doc.chunks.push_back({VelqNull{}, 0});
         return with_offsets(std::move(doc), 18, 22);
       }},
      {"nested value uses its own definition, not the entry's",
       assemble("0200 10000011 1101000100 016102", kEmptyDict,
                "01000000 0000 0C000000 0000 0100 0100 0100 07000000"),
       [] {
         VelqDocument doc;
         doc.definitions = {array_def(0, VelqType::Object), object_def(1, {{"a", VelqType::Int32}})};
         doc.chunks.push_back({VelqArray{0, 1, {VelqObject{1, {std::int32_t{7}}}}}, 0});
         return with_offsets(std::move(doc), 27, 31);
       }},
  };
  for (const DocumentCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = decode(c.bytes);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    EXPECT_TRUE(decoded.value() == c.expected());
  }
}

TEST(DecodeDocument, LimitsOfCounts) {
  // 2048 primitive definitions and an object definition of 256 fields are the most accepted.
  std::string defs = "0008";
  for (int i = 0; i < 2048; ++i) defs += "000000";
  auto most_definitions = decode(assemble(defs, kEmptyDict, kNoEntries));
  ASSERT_TRUE(most_definitions.ok()) << most_definitions.error().message;
  EXPECT_EQ(most_definitions.value().definitions.size(), 2048u);

  std::string fields = "0100 1100000001";
  for (int i = 0; i < 256; ++i) fields += "0000";
  auto most_fields = decode(assemble(fields, kEmptyDict, kNoEntries));
  ASSERT_TRUE(most_fields.ok()) << most_fields.error().message;
  EXPECT_EQ(most_fields.value().definitions[0].fields->size(), 256u);
}

// Arrays nested `levels` deep (the entry's own array is level 1); the innermost one is empty.
VelqDocument nested_arrays(std::size_t levels) {
  VelqDocument doc;
  doc.definitions.push_back(array_def(0, VelqType::Array));
  VelqData node = VelqArray{0, 0, {}};
  for (std::size_t i = 1; i < levels; ++i) node = VelqArray{0, 0, {std::move(node)}};
  doc.chunks.push_back({std::move(node), 0});
  return doc;
}

// `objects` objects nested in one another; with `array_inside` the innermost one holds an array.
VelqDocument nested_objects(std::size_t objects, bool array_inside) {
  VelqDocument doc;
  doc.definitions = {object_def(0, {{"o", VelqType::Object}}), object_def(1, {}),
                     object_def(2, {{"a", VelqType::Array}}), array_def(3, VelqType::Null)};
  VelqData node = array_inside ? VelqData{VelqObject{2, {VelqArray{3, 0, {}}}}} : VelqData{VelqObject{1, {}}};
  for (std::size_t i = 1; i < objects; ++i) node = VelqObject{0, {std::move(node)}};
  doc.chunks.push_back({std::move(node), 0});
  return doc;
}

TEST(DecodeDocument, NestingDepth) {
  struct DepthCase {
    const char* name;
    VelqDocument doc;
    const char* message;  // empty when accepted
  };
  const DepthCase cases[] = {
      {"128 arrays", nested_arrays(128), ""},
      {"129 arrays", nested_arrays(129), "Max recursion depth"},
      {"128 objects", nested_objects(128, false), ""},
      {"129 objects", nested_objects(129, false), "Max recursion depth 128 exceeded at Object"},
      {"array at level 128 inside objects", nested_objects(127, true), ""},
      {"array at level 129 inside objects", nested_objects(128, true), "Max recursion depth"},
  };
  for (const DepthCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto encoded = encode_document(c.doc);
    ASSERT_TRUE(encoded.ok());
    auto decoded = decode(encoded.value());
    if (*c.message == '\0') {
      ASSERT_TRUE(decoded.ok()) << decoded.error().message;
      EXPECT_TRUE(decoded.value().chunks == c.doc.chunks);
    } else {
      ASSERT_FALSE(decoded.ok());
      EXPECT_EQ(decoded.error().message, c.message);
    }
  }
}

VelqDocument varied_document() {
  VelqDocument doc;
  doc.definitions = builtin_definitions();
  doc.definitions.push_back(array_def(6, VelqType::String));
  doc.definitions.push_back(object_def(7, {{"name", VelqType::String},
                                           {"tags", VelqType::Array},
                                           {"n\xC3\xBCll", VelqType::Null},
                                           {"ok", VelqType::Bool},
                                           {"", VelqType::Float32},
                                           {"u", VelqType::UInt32}}));
  doc.definitions.push_back(array_def(8, VelqType::Object));
  doc.definitions.push_back(object_def(9, {}));
  doc.definitions.push_back(array_def(10, VelqType::Int32));
  doc.dict = {"x", "", std::string(200, 'd'), "\xF0\x9F\x98\x80"};
  const VelqArray tags{6, 5, {VelqStrRef{0}, std::string("y"), VelqStrRef{3}}};
  const VelqObject first{7, {std::string("x"), tags, VelqNull{}, true, -0.25f, std::uint32_t{4000000000u}}};
  const VelqObject second{7, {VelqStrRef{2}, VelqArray{6, 5, {}}, VelqNull{}, false, 1e30f, std::uint32_t{0}}};
  doc.chunks.push_back({VelqArray{8, 7, {first, second}}, 8});
  doc.chunks.push_back({VelqObject{9, {}}, 9});
  doc.chunks.push_back({VelqNull{}, 0});
  doc.chunks.push_back({std::string(16384, 'L'), 5});
  doc.chunks.push_back({VelqStrRef{99}, 5});  // positions are not checked against the dictionary here
  doc.chunks.push_back({std::int32_t{-2147483647 - 1}, 2});
  return doc;
}

TEST(RoundTrip, DocumentsWithinTheReadersLimits) {
  struct RoundTripCase {
    const char* name;
    std::function<VelqDocument()> make;
  };
  const RoundTripCase cases[] = {
      {"empty", [] { return VelqDocument{}; }},
      {"varied", varied_document},
      {"built-in definitions only", [] {
         VelqDocument doc;
         doc.definitions = builtin_definitions();
         doc.chunks = {{VelqNull{}, 0}, {true, 1}, {std::int32_t{-5}, 2}, {std::uint32_t{7}, 3}, {3.5f, 4},
                       {std::string("\xC3\xA9t\xC3\xA9"), 5}};
         return doc;
       }},
      {"string boundaries in the dict and the data", [] {
         VelqDocument doc;
         doc.definitions = {array_def(0, VelqType::String)};
         VelqArray array{0, 0, {}};
         for (std::size_t n : {127u, 128u, 16383u, 16384u}) {
           doc.dict.push_back(std::string(n, 'a'));
           array.items.push_back(std::string(n, 'b'));
         }
         doc.chunks.push_back({std::move(array), 0});
         return doc;
       }},
      {"65535 items", [] {
         VelqDocument doc;
         doc.definitions = {array_def(0, VelqType::Int32)};
         VelqArray array{0, 0, {}};
         for (std::int32_t i = 0; i < 65535; ++i) array.items.push_back(i * 7919);
         doc.chunks.push_back({std::move(array), 0});
         return doc;
       }},
      {"256 fields", [] {
         VelqDocument doc;
         std::vector<VelqField> fields;
         VelqObject object{0, {}};
         for (int i = 0; i < 256; ++i) {
           fields.push_back({"f" + std::to_string(i), i % 2 ? VelqType::Bool : VelqType::String});
           object.values.push_back(i % 2 ? VelqData{i % 3 == 0} : VelqData{std::string(i, 'v')});
         }
         doc.definitions = {object_def(0, std::move(fields))};
         doc.chunks.push_back({std::move(object), 0});
         return doc;
       }},
      {"fixed-width items", [] {
         VelqDocument doc;
         doc.definitions = {array_def(0, VelqType::Bool), array_def(1, VelqType::UInt32),
                            array_def(2, VelqType::Float32)};
         doc.chunks = {{VelqArray{0, 0, {true, false, true}}, 0},
                       {VelqArray{1, 1, {std::uint32_t{0}, std::uint32_t{0xFFFFFFFF}}}, 1},
                       {VelqArray{2, 2, {0.5f, -1e-30f, 3e38f}}, 2}};
         return doc;
       }},
      {"an array of Null items takes no bytes", [] {
         VelqDocument doc;
         doc.definitions = {array_def(0, VelqType::Null)};
         doc.chunks.push_back({VelqArray{0, 0, std::vector<VelqData>(65535)}, 0});
         return doc;
       }},
  };
  for (const RoundTripCase& c : cases) {
    SCOPED_TRACE(c.name);
    const VelqDocument original = c.make();
    auto encoded = encode_document(original);
    ASSERT_TRUE(encoded.ok()) << encoded.error().message;
    auto decoded = decode(encoded.value());
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    const VelqDocument& doc = decoded.value();
    EXPECT_TRUE(doc.definitions == original.definitions);
    EXPECT_TRUE(doc.dict == original.dict);
    EXPECT_TRUE(doc.chunks == original.chunks);
    EXPECT_EQ(doc.def_block_offset, HEADER_SIZE);
  }
}

// Every single-byte change and every truncation of a valid file must be decoded or refused without
// reading outside the input (checked by the address sanitizer).
TEST(DecodeDocument, DamagedInputsStayInBounds) {
  VelqDocument doc = varied_document();
  doc.chunks[3] = {std::string("short"), 5};
  const std::string bytes = encode_document(doc).value();
  std::size_t refused = 0;
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (unsigned char replacement : {0x00, 0x01, 0x7F, 0x80, 0xC5, 0xFE, 0xFF}) {
      std::string damaged = bytes;
      damaged[at] = static_cast<char>(replacement);
      refused += decode(damaged).ok() ? 0 : 1;
    }
    refused += decode(std::string_view(bytes).substr(0, at)).ok() ? 0 : 1;
  }
  EXPECT_GT(refused, bytes.size());
}

// What decode_document_to reports, written down in the notation of render() below; also checks that
// the ascii flag of every string is right.
class RenderingSink final : public DecodeSink {
 public:
  std::string text;

  void begin_entries(const std::vector<VelqDefinition>&, const std::vector<std::string>& dict,
                     std::size_t count) override {
    text += "dict " + std::to_string(dict.size()) + ", " + std::to_string(count) + " entries:";
  }
  void null() override { text += " n"; }
  void boolean(bool value) override { text += value ? " t" : " f"; }
  void int32(std::int32_t value) override { text += " i" + std::to_string(value); }
  void uint32(std::uint32_t value) override { text += " u" + std::to_string(value); }
  void float32(float value) override { text += " x" + std::to_string(std::bit_cast<std::uint32_t>(value)); }
  void string(std::string_view value, bool ascii) override {
    const bool all_ascii =
        std::all_of(value.begin(), value.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; });
    EXPECT_EQ(ascii, all_ascii) << test_support::to_hex(value);
    text += " s'" + std::string(value) + "'";
  }
  void str_ref(std::uint32_t index) override { text += " r" + std::to_string(index); }
  void begin_array(std::size_t count) override { text += " [" + std::to_string(count); }
  void end_array() override { text += " ]"; }
  void fixed_array(VelqType type, const std::uint8_t* at, std::size_t count) override {
    text += " [" + std::to_string(count);
    for (std::size_t i = 0; i < count; ++i) {
      switch (type) {
        case VelqType::Null: null(); break;
        case VelqType::Bool: boolean(at[i] != 0); break;
        case VelqType::Int32: int32(static_cast<std::int32_t>(fixed_item(at, i))); break;
        case VelqType::UInt32: uint32(fixed_item(at, i)); break;
        default: float32(std::bit_cast<float>(fixed_item(at, i))); break;
      }
    }
    text += " ]";
  }
  void begin_object(std::uint16_t self, std::size_t count) override {
    text += " {" + std::to_string(self) + ":" + std::to_string(count);
  }
  void end_object() override { text += " }"; }
  void end_entries() override { text += " end"; }
};

// A decoded tree in the notation of RenderingSink (which does not see the indices of arrays).
void render(const VelqData& node, std::string& text) {
  struct Visit {
    std::string& text;
    void operator()(VelqNull) { text += " n"; }
    void operator()(bool value) { text += value ? " t" : " f"; }
    void operator()(std::int32_t value) { text += " i" + std::to_string(value); }
    void operator()(std::uint32_t value) { text += " u" + std::to_string(value); }
    void operator()(float value) { text += " x" + std::to_string(std::bit_cast<std::uint32_t>(value)); }
    void operator()(const std::string& value) { text += " s'" + value + "'"; }
    void operator()(VelqStrRef ref) { text += " r" + std::to_string(ref.index); }
    void operator()(const VelqArray& array) {
      text += " [" + std::to_string(array.items.size());
      for (const VelqData& item : array.items) render(item, text);
      text += " ]";
    }
    void operator()(const VelqObject& object) {
      text += " {" + std::to_string(object.self_def_index) + ":" + std::to_string(object.values.size());
      for (const VelqData& value : object.values) render(value, text);
      text += " }";
    }
  };
  std::visit(Visit{text}, static_cast<const VelqData::variant&>(node));
}

// decode_document_to and decode_document are one reader with two destinations: on every input they
// must agree on the outcome, the error message and the values, in document order.
TEST(DecodeDocumentTo, ReportsWhatDecodeDocumentBuilds) {
  VelqDocument shorter = varied_document();
  shorter.chunks[3] = {std::string("short"), 5};
  std::vector<std::string> inputs;
  for (const VelqDocument& doc : {varied_document(), shorter, VelqDocument{}}) {
    inputs.push_back(encode_document(doc).value());
  }
  const std::string varied = inputs[1];
  for (std::size_t at = 0; at < varied.size(); ++at) {
    for (unsigned char replacement : {0x00, 0x01, 0x06, 0x80, 0xC5, 0xFF}) {
      std::string damaged = varied;
      damaged[at] = static_cast<char>(replacement);
      inputs.push_back(damaged);
    }
    inputs.push_back(varied.substr(0, at));
  }
  std::size_t decoded_count = 0;
  for (const std::string& input : inputs) {
    const std::vector<std::uint8_t> buffer(input.begin(), input.end());
    Result<VelqDocument> tree = decode_document(buffer);
    RenderingSink sink;
    Status events = decode_document_to(buffer, sink);
    ASSERT_EQ(events.ok(), tree.ok()) << test_support::to_hex(input);
    if (!tree.ok()) {
      EXPECT_EQ(events.error().message, tree.error().message);
      continue;
    }
    ++decoded_count;
    const VelqDocument& doc = tree.value();
    std::string expected =
        "dict " + std::to_string(doc.dict.size()) + ", " + std::to_string(doc.chunks.size()) + " entries:";
    for (const VelqChunk& chunk : doc.chunks) render(chunk.data, expected);
    EXPECT_EQ(sink.text, expected + " end");
  }
  EXPECT_GT(decoded_count, 2u);
}

// String values, field names and dictionary strings are checked by faster means than
// str_from_utf8's exact scan (which still describes the faults): the two must agree on every text.
// Probes are set into ASCII text at offsets around the steps of the fast checks (8, 16 and 32
// bytes), in texts shorter and longer than the point where a vector check takes over.
TEST(DecodeValue, StringChecksAgreeWithTheExactScan) {
  std::size_t checked = 0;
  auto agree = [&checked](const std::string& text) {
    ++checked;
    std::string encoded = "\xFE";
    for (int shift = 0; shift < 24; shift += 8) encoded.push_back(static_cast<char>(text.size() >> shift));
    encoded += text;
    const std::vector<std::uint8_t> bytes(encoded.begin(), encoded.end());
    const std::vector<std::uint8_t> raw(text.begin(), text.end());
    auto fast = decode_primitive_value(bytes, VelqType::String);
    auto exact = str_from_utf8(raw);
    if (fast.ok() != exact.ok()) {
      ADD_FAILURE() << "disagree on " << test_support::to_hex(text);
      return false;
    }
    if (!fast.ok()) {
      EXPECT_EQ(fast.error().message, exact.error().message);
    }
    return true;
  };
  auto placed = [](const std::string& probe, std::size_t length, std::size_t offset) {
    std::string text(length, 'a');
    text.replace(offset, probe.size(), probe);
    return text;
  };

  std::vector<std::string> probes;
  for (int lead = 0x80; lead < 0x100; ++lead) {
    for (int next = 0; next < 0x100; ++next) {
      probes.push_back({static_cast<char>(lead), static_cast<char>(next)});
    }
  }
  const unsigned char seconds[] = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xE0};
  const unsigned char laters[] = {0x41, 0x80, 0xBF, 0xC2};
  for (int lead = 0xC0; lead < 0x100; ++lead) {
    for (unsigned char second : seconds) {
      for (unsigned char third : laters) {
        probes.push_back({static_cast<char>(lead), static_cast<char>(second), static_cast<char>(third)});
        for (unsigned char fourth : laters) {
          probes.push_back({static_cast<char>(lead), static_cast<char>(second), static_cast<char>(third),
                            static_cast<char>(fourth)});
        }
      }
    }
  }
  for (const std::string& probe : probes) {
    const std::size_t end = 100 - probe.size();
    for (std::size_t offset : {std::size_t{0}, std::size_t{7}, std::size_t{15}, 20 - probe.size()}) {
      if (!agree(placed(probe, 20, offset))) return;
    }
    for (std::size_t offset : {std::size_t{0}, std::size_t{31}, std::size_t{62}, end}) {
      if (!agree(placed(probe, 100, offset))) return;
    }
  }

  // Valid text of every width around block boundaries, and the same text with one byte changed.
  std::uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
  const char* pieces[] = {"a",           "\xC3\xA9",     "\xE2\x82\xAC", "\xF0\x9F\x98\x80",    "\xEF\xBF\xBF",
                          "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF", "\xEE\x80\x80", "0123456789abcdef"};
  for (int round = 0; round < 4000; ++round) {
    std::string text;
    const std::size_t target = next() % 200;
    while (text.size() < target) text += pieces[next() % std::size(pieces)];
    if (!agree(text)) return;
    VelqDocument doc;  // and the sink hears whether the text is ASCII
    doc.definitions = builtin_definitions();
    doc.chunks.push_back({text, 5});
    const std::string encoded = encode_document(doc).value();
    RenderingSink sink;
    ASSERT_TRUE(decode_document_to(std::vector<std::uint8_t>(encoded.begin(), encoded.end()), sink).ok());
    if (!text.empty()) {
      text[next() % text.size()] = static_cast<char>(next() & 0xFF);
      if (!agree(text)) return;
      text.resize(next() % text.size());
      if (!agree(text)) return;
    }
  }
  EXPECT_GT(checked, 100000u);
}

}  // namespace
}  // namespace velq
