// Writes the seed corpora of the fuzz targets:
//   make_seeds CORPUS_DIR DECODE_OUT JSON_OUT
// For every *.json file of CORPUS_DIR it writes pruned copies (at most k items
// per array and m members per object, for a few (k, m)) as JSON seeds, and
// their compiled documents as decoder seeds, keeping those below a size cap.
// It adds hand-made JSON texts at the edges of the number and array rules, and
// hand-made documents that the compiler never produces: several entries,
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

// Compiles JSON text to the bytes dumps writes; empty when it refuses the text.
std::string compile_to_bytes(std::string_view text) {
  CompiledDocument compiled;
  if (!compile_json_to_velq(text, compiled).ok()) return {};
  ByteBuffer fresh;
  auto bytes = encode_document(compiled.front(), compiled.payload, fresh);
  return bytes.ok() ? std::string(bytes.value()->view()) : std::string{};
}

// Bytes of a document written by hand, little-endian, for layouts the
// compiler does not produce.
struct Bytes {
  std::string out;

  Bytes& u8(unsigned v) {
    out.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& u16(unsigned v) { return u8(v & 0xFF).u8(v >> 8 & 0xFF); }
  Bytes& u32(std::uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
  // A string in its shortest inline form (short or medium).
  Bytes& text(std::string_view s) {
    if (s.size() < 0x80) {
      u8(static_cast<unsigned>(s.size()));
    } else {
      u8(0x80 | static_cast<unsigned>(s.size() >> 8)).u8(s.size() & 0xFF);
    }
    out.append(s);
    return *this;
  }
  Bytes& ref(std::uint32_t position) { return u8(0xFF).u32(position); }
  Bytes& array(unsigned self, unsigned elem, unsigned count) { return u16(self).u16(elem).u16(count); }
  Bytes& object(unsigned self) { return u16(self); }
  Bytes& then(const Bytes& more) {
    out += more.out;
    return *this;
  }
};

// A definition written by hand, holding its fields.
struct SeedField {
  std::string name;
  VelqType type = VelqType::Null;
};

struct SeedDefinition {
  std::optional<std::vector<SeedField>> fields;
  std::uint16_t index = 0;
  VelqType kind = VelqType::Null;
  std::optional<VelqType> elem_type;
};

SeedDefinition array_def(std::uint16_t index, VelqType elem) {
  SeedDefinition def;
  def.index = index;
  def.kind = VelqType::Array;
  def.elem_type = elem;
  return def;
}

SeedDefinition object_def(std::uint16_t index, std::vector<SeedField> fields) {
  SeedDefinition def;
  def.index = index;
  def.kind = VelqType::Object;
  def.fields = std::move(fields);
  return def;
}

struct Entry {
  std::uint16_t def_index;  // position of its definition
  Bytes payload;
};

// Header, definition block, dictionary block and data block, back to back.
std::string document(const std::vector<SeedDefinition>& definitions, const std::vector<std::string>& dict,
                     const std::vector<Entry>& entries) {
  Bytes defs;
  defs.u16(static_cast<unsigned>(definitions.size()));
  for (const SeedDefinition& def : definitions) {
    defs.u8(static_cast<unsigned>(def.kind)).u16(def.index);
    if (def.elem_type) defs.u8(static_cast<unsigned>(*def.elem_type));
    if (def.fields) {
      defs.u16(static_cast<unsigned>(def.fields->size()));
      for (const SeedField& field : *def.fields) {
        defs.u8(static_cast<unsigned>(field.name.size()));
        defs.out += field.name;
        defs.u8(static_cast<unsigned>(field.type));
      }
    }
  }
  Bytes strings;
  strings.u32(static_cast<std::uint32_t>(dict.size()));
  for (const std::string& text : dict) strings.text(text);
  Bytes data;
  data.u32(static_cast<std::uint32_t>(entries.size()));
  for (const Entry& entry : entries) {
    data.u16(entry.def_index).u32(static_cast<std::uint32_t>(entry.payload.out.size())).then(entry.payload);
  }
  const std::size_t defs_at = 13, dict_at = defs_at + defs.out.size(), data_at = dict_at + strings.out.size();
  Bytes whole;
  whole.u8(1).u32(defs_at).u32(static_cast<std::uint32_t>(dict_at)).u32(static_cast<std::uint32_t>(data_at));
  return whole.then(defs).then(strings).then(data).out;
}

std::vector<std::pair<std::string, std::string>> hand_made_documents() {
  std::vector<std::pair<std::string, std::string>> out;
  std::vector<SeedDefinition> builtins;
  for (const VelqDefinition& builtin : BUILTIN_DEFINITIONS) {
    builtins.push_back({std::nullopt, builtin.index, builtin.kind, std::nullopt});
  }

  {  // Three entries of different kinds, a dictionary and references into it.
    auto defs = builtins;
    defs.push_back(array_def(6, VelqType::String));
    defs.push_back(object_def(7, {{"n", VelqType::Int32}, {"s", VelqType::String}, {"z", VelqType::Null}}));
    out.emplace_back("multi_chunk",
                     document(defs, {"hi", "", "\xC3\xA9t\xC3\xA9"},
                              {{2, Bytes().u32(static_cast<std::uint32_t>(-5))},
                               {6, Bytes().array(6, 5, 3).ref(0).text("yo").ref(2)},
                               {7, Bytes().object(7).u32(1).ref(1)}}));
  }
  {  // Definitions whose index differs from their position, and a duplicate name.
    std::vector<SeedDefinition> defs = {object_def(3, {{"x", VelqType::Int32}, {"x", VelqType::Int32}}),
                                        object_def(0, {{"a", VelqType::Float32}}), array_def(9, VelqType::Object)};
    out.emplace_back("shuffled_indices",
                     document(defs, {},
                              {{2, Bytes().array(2, 0, 2).object(0).u32(1).u32(2).object(1).u32(0x3FC00000)}}));
  }
  {  // Nulls cost nothing: an object of null fields, an array of nulls.
    auto defs = builtins;
    std::vector<SeedField> fields;
    for (int i = 0; i < 40; ++i) fields.push_back({"f" + std::to_string(i), VelqType::Null});
    defs.push_back(object_def(6, fields));
    defs.push_back(array_def(7, VelqType::Null));
    out.emplace_back("nulls", document(defs, {}, {{6, Bytes().object(6)}, {7, Bytes().array(7, 0, 1000)}}));
  }
  {  // Every primitive type at the top level, and a UInt32 beyond int32.
    out.emplace_back("primitives", document(builtins, {},
                                            {{0, Bytes()},
                                             {1, Bytes().u8(1)},
                                             {2, Bytes().u32(0x80000000)},
                                             {3, Bytes().u32(0xFFFFFFFF)},
                                             {4, Bytes().u32(0x80000000)},  // -0.0f
                                             {5, Bytes().text(std::string(200, 'm'))}}));
  }
  {  // The deepest accepted nesting: 128 levels of arrays, then of objects.
    auto defs = builtins;
    defs.push_back(array_def(6, VelqType::Array));
    defs.push_back(array_def(7, VelqType::Null));
    Bytes nested;
    for (int level = 1; level < 128; ++level) nested.array(6, 0, 1);
    nested.array(7, 0, 0);
    out.emplace_back("deep_arrays", document(defs, {}, {{6, nested}}));
  }
  {
    auto defs = builtins;
    defs.push_back(object_def(6, {{"o", VelqType::Object}}));
    defs.push_back(object_def(7, {}));
    Bytes nested;
    for (int level = 1; level < 128; ++level) nested.object(6);
    nested.object(7);
    out.emplace_back("deep_objects", document(defs, {}, {{6, nested}}));
  }
  {  // Medium-form strings in the data and in the dictionary.
    out.emplace_back("string_forms", document(builtins, {std::string(300, 'd')},
                                              {{5, Bytes().text(std::string(1000, 'L'))}, {5, Bytes().ref(0)}}));
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
    JsonArena arena;
    auto tree = parse_json(text, arena);
    if (!tree.ok()) {
      std::cerr << input.filename().string() << ": " << tree.error().message << "\n";
      continue;
    }
    std::string previous;
    for (const Pruning& pruning : prunings) {
      std::string pruned;
      write_pruned(tree.value(), pruning, pruned);
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
