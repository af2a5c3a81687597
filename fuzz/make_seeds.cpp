// Writes the seed corpora of the fuzz targets:
//   make_seeds CORPUS_DIR DECODE_OUT JSON_OUT
// For every *.json file of CORPUS_DIR it writes pruned copies (at most k items
// per array and m members per object, for a few (k, m)) as JSON seeds, and
// their compiled documents as decoder seeds, keeping those below a size cap.
// It adds hand-made JSON texts at the edges of the number and array rules, and
// hand-made documents that the compiler never produces: several chunks,
// definition indices that differ from positions, the string forms a writer
// does not choose, no dict block, the deepest accepted nesting.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "compile.h"
#include "encode.h"
#include "json.h"

namespace fs = std::filesystem;
using namespace velq;

namespace {

// The decoder target reads at most 2048 bytes of an input (see run.sh).
constexpr std::size_t kMaxJsonSeedBytes = 12 * 1024;
constexpr std::size_t kMaxDecodeSeedBytes = 2048;

struct Pruning {
  std::size_t items;
  std::size_t members;
};

void append_string(std::string_view text, std::string& out) {
  out.push_back('"');
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out.append(escape);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

void append_double(double value, std::string& out) {
  char digits[64];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  std::string_view text(digits, static_cast<std::size_t>(end - digits));
  out.append(text);
  // Keep it a double when read back: "5" would become an integer.
  if (text.find_first_of(".eE") == std::string_view::npos) out.append(".0");
}

void write_pruned(const JsonValue& value, const Pruning& pruning, std::string& out) {
  switch (value.kind) {
    case JsonKind::Null: out.append("null"); break;
    case JsonKind::Bool: out.append(value.boolean ? "true" : "false"); break;
    case JsonKind::UInt: out.append(std::to_string(value.uint)); break;
    case JsonKind::Int: out.append(std::to_string(value.sint)); break;
    case JsonKind::Double: append_double(value.dbl, out); break;
    case JsonKind::String: append_string(value.string(), out); break;
    case JsonKind::Array: {
      out.push_back('[');
      std::size_t n = std::min(value.size, pruning.items);
      for (std::size_t i = 0; i < n; ++i) {
        if (i) out.push_back(',');
        write_pruned(value.items[i], pruning, out);
      }
      out.push_back(']');
      break;
    }
    case JsonKind::Object: {
      out.push_back('{');
      std::size_t n = std::min(value.size, pruning.members);
      for (std::size_t i = 0; i < n; ++i) {
        if (i) out.push_back(',');
        append_string(value.members[i].key, out);
        out.push_back(':');
        write_pruned(value.members[i].value, pruning, out);
      }
      out.push_back('}');
      break;
    }
  }
}

void write_file(const fs::path& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Compiles JSON text to bytes; empty when the writing road refuses it.
std::string compile_to_bytes(std::string_view text) {
  auto document = compile_json_str(text);
  if (!document.ok() || !check_reader_limits(document.value()).ok()) return {};
  auto bytes = encode_document(document.value());
  return bytes.ok() ? std::move(bytes.value()) : std::string{};
}

VelqDefinition array_def(std::uint16_t index, VelqType elem) {
  VelqDefinition def;
  def.index = index;
  def.kind = VelqType::Array;
  def.elem_type = elem;
  return def;
}

VelqDefinition object_def(std::uint16_t index, std::vector<VelqField> fields) {
  VelqDefinition def;
  def.index = index;
  def.kind = VelqType::Object;
  def.fields = std::move(fields);
  return def;
}

std::vector<std::pair<std::string, std::string>> hand_made_documents() {
  std::vector<std::pair<std::string, VelqDocument>> documents;

  {  // Three chunks of different kinds, a dictionary and references into it.
    VelqDocument d;
    d.definitions = builtin_definitions();
    d.definitions.push_back(array_def(6, VelqType::String));
    d.definitions.push_back(object_def(7, {{"n", VelqType::Int32}, {"s", VelqType::String}, {"z", VelqType::Null}}));
    d.dict = {"hi", "", "\xC3\xA9t\xC3\xA9"};
    d.chunks.push_back({VelqData{std::int32_t{-5}}, 2});
    d.chunks.push_back({VelqData{VelqArray{6, 5, {VelqData{VelqStrRef{0}}, VelqData{std::string("yo")},
                                                 VelqData{VelqStrRef{2}}}}}, 6});
    d.chunks.push_back({VelqData{VelqObject{7, {VelqData{std::int32_t{1}}, VelqData{VelqStrRef{1}},
                                                VelqData{VelqNull{}}}}}, 7});
    documents.emplace_back("multi_chunk", std::move(d));
  }
  {  // Definitions whose index differs from their position, and a duplicate name.
    VelqDocument d;
    d.definitions.push_back(object_def(3, {{"x", VelqType::Int32}, {"x", VelqType::Int32}}));
    d.definitions.push_back(object_def(0, {{"a", VelqType::Float32}}));
    d.definitions.push_back(array_def(9, VelqType::Object));
    d.chunks.push_back({VelqData{VelqArray{2, 0, {VelqData{VelqObject{0, {VelqData{std::int32_t{1}}, VelqData{std::int32_t{2}}}}},
                                                  VelqData{VelqObject{1, {VelqData{1.5f}}}}}}}, 2});
    documents.emplace_back("shuffled_indices", std::move(d));
  }
  {  // Nulls cost nothing: an object of null fields, an array of nulls.
    VelqDocument d;
    d.definitions = builtin_definitions();
    std::vector<VelqField> fields;
    for (int i = 0; i < 40; ++i) fields.push_back({"f" + std::to_string(i), VelqType::Null});
    d.definitions.push_back(object_def(6, fields));
    d.definitions.push_back(array_def(7, VelqType::Null));
    d.chunks.push_back({VelqData{VelqObject{6, std::vector<VelqData>(40)}}, 6});
    d.chunks.push_back({VelqData{VelqArray{7, 0, std::vector<VelqData>(1000)}}, 7});
    documents.emplace_back("nulls", std::move(d));
  }
  {  // Every primitive type at the top level, and a UInt32 beyond int32.
    VelqDocument d;
    d.definitions = builtin_definitions();
    d.chunks.push_back({VelqData{VelqNull{}}, 0});
    d.chunks.push_back({VelqData{true}, 1});
    d.chunks.push_back({VelqData{std::int32_t{-2147483647 - 1}}, 2});
    d.chunks.push_back({VelqData{std::uint32_t{4294967295u}}, 3});
    d.chunks.push_back({VelqData{-0.0f}, 4});
    d.chunks.push_back({VelqData{std::string(200, 'm')}, 5});
    documents.emplace_back("primitives", std::move(d));
  }
  {  // The deepest accepted nesting: 128 levels of arrays, then of objects.
    VelqDocument d;
    d.definitions = builtin_definitions();
    d.definitions.push_back(array_def(6, VelqType::Array));
    d.definitions.push_back(array_def(7, VelqType::Null));
    VelqData node{VelqArray{7, 0, {}}};
    for (int level = 1; level < 128; ++level) node = VelqData{VelqArray{6, 0, {std::move(node)}}};
    d.chunks.push_back({std::move(node), 6});
    documents.emplace_back("deep_arrays", std::move(d));
  }
  {
    VelqDocument d;
    d.definitions = builtin_definitions();
    d.definitions.push_back(object_def(6, {{"o", VelqType::Object}}));
    d.definitions.push_back(object_def(7, {}));
    VelqData node{VelqObject{7, {}}};
    for (int level = 1; level < 128; ++level) node = VelqData{VelqObject{6, {std::move(node)}}};
    d.chunks.push_back({std::move(node), 6});
    documents.emplace_back("deep_objects", std::move(d));
  }
  {  // Medium-form strings in the data and in the dictionary.
    VelqDocument d;
    d.definitions = builtin_definitions();
    d.dict = {std::string(300, 'd')};
    d.chunks.push_back({VelqData{std::string(1000, 'L')}, 5});
    d.chunks.push_back({VelqData{VelqStrRef{0}}, 5});
    documents.emplace_back("string_forms", std::move(d));
  }

  std::vector<std::pair<std::string, std::string>> out;
  for (auto& [name, document] : documents) {
    auto bytes = encode_document(document);
    if (!bytes.ok()) {
      std::cerr << name << ": " << bytes.error().message << "\n";
      continue;
    }
    out.emplace_back(name, std::move(bytes.value()));
  }

  // Byte layouts a writer never produces.
  auto raw = [](std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
  };
  // 43-byte object example, 50-byte array example, 23-byte empty document.
  out.emplace_back("object_example", raw({1, 13, 0, 0, 0, 23, 0, 0, 0, 27, 0, 0, 0, 1, 0, 0x11, 0, 0, 1, 0, 1, 'a', 2,
                                          0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
  out.emplace_back("array_example", raw({1, 13, 0, 0, 0, 19, 0, 0, 0, 26, 0, 0, 0, 1, 0, 0x10, 0, 0, 5, 1, 0, 0, 0, 2,
                                         'h', 'i', 1, 0, 0, 0, 0, 0, 14, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0xFF, 0, 0, 0, 0,
                                         2, 'y', 'o'}));
  out.emplace_back("empty", raw({1, 13, 0, 0, 0, 15, 0, 0, 0, 19, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  // No dict block at all (dict offset = data offset), a Bool byte of 2, a
  // data string in the 0xC0 form, a short string in the medium and the long
  // form, and trailing bytes after every block.
  out.emplace_back("odd_forms", raw({1, 13, 0, 0, 0, 29, 0, 0, 0, 29, 0, 0, 0,
                                     3, 0, 1, 1, 0, 5, 2, 0, 5, 3, 0, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                                     4, 0, 0, 0,
                                     0, 0, 1, 0, 0, 0, 2,
                                     1, 0, 4, 0, 0, 0, 0xC0, 2, 'o', 'k',
                                     2, 0, 5, 0, 0, 0, 0x80, 3, 'a', 'b', 'c',
                                     2, 0, 5, 0, 0, 0, 0xFE, 1, 0, 0, 'x',
                                     0xAB, 0xCD}));
  return out;
}

// JSON texts at the edges of the number rules, the mixed-array rules and the
// string dictionary.
std::vector<std::pair<std::string, std::string>> hand_made_json() {
  return {
      {"widen", "[1, 2.5, -3, 3000000000, 18446744073709551615, -9223372036854775808]"},
      {"zeros", "[0, 0, -0, 0.0, -0.0]"},
      {"integers", "[2147483648, 4294967301, -1, -2147483649, 9223372036854775807]"},
      {"unsigned", "[9223372036854775808, 18446744073709551615]"},
      {"huge", "[18446744073709551616, 1e38, 3.4028235677973366e38, 1e-46, 5e-324]"},
      {"infinite", "[1e39, -1e39]"},
      {"mixed", R"({"a": [1, null], "b": [true, 1], "c": [[1, "a"], 1]})"},
      {"nulls", R"([null, null, [], [null], {}, {"a": null}])"},
      {"objects", R"([{"a": 1}, {"a": 2}, {"b": "x"}, {"a": "x", "b": [1.5]}, {"b": 1, "a": 2, "a": 3}])"},
      {"strings", R"(["x", "x", "", "", "\u00e9\ud83d\ude00", "a\/b~c", "\u0000\n\t\"\\"])"},
      {"keys", R"({"": 1, "~": {"/": [2]}, "\u00e9": 3, "a\u0000b": 4, "Z": 5})"},
      {"top_string", R"("just text")"},
      {"top_number", "-12.5e-3"},
      {"deep", std::string(127, '[') + std::string(127, ']')},
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: make_seeds CORPUS_DIR DECODE_OUT JSON_OUT\n";
    return 2;
  }
  fs::path corpus = argv[1], decode_out = argv[2], json_out = argv[3];
  fs::create_directories(decode_out);
  fs::create_directories(json_out);

  std::vector<fs::path> inputs;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (entry.path().extension() == ".json") inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());

  const Pruning prunings[] = {{1, 4}, {2, 8}, {3, 32}, {8, 256}};
  std::size_t written = 0;
  for (const fs::path& input : inputs) {
    std::string text = read_file(input);
    auto tree = parse_json(text);
    if (!tree.ok()) {
      std::cerr << input.filename().string() << ": " << tree.error().message << "\n";
      continue;
    }
    std::string previous;
    for (const Pruning& pruning : prunings) {
      std::string pruned;
      write_pruned(tree.value().root, pruning, pruned);
      if (pruned.size() > kMaxJsonSeedBytes || pruned == previous) continue;
      previous = pruned;
      std::string name = input.stem().string() + "_" + std::to_string(pruning.items) + "_" +
                         std::to_string(pruning.members);
      write_file(json_out / (name + ".json"), pruned);
      std::string bytes = compile_to_bytes(pruned);
      if (!bytes.empty() && bytes.size() <= kMaxDecodeSeedBytes) write_file(decode_out / (name + ".velq"), bytes);
      ++written;
    }
  }
  for (const auto& [name, bytes] : hand_made_documents()) {
    write_file(decode_out / (name + ".velq"), bytes);
  }
  for (const auto& [name, text] : hand_made_json()) {
    write_file(json_out / (name + ".json"), text);
    std::string bytes = compile_to_bytes(text);
    if (!bytes.empty()) write_file(decode_out / (name + ".velq"), bytes);
  }
  std::cerr << written << " pruned corpus seeds written\n";
  return 0;
}
