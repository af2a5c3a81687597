#include "decode.h"

#include <array>
#include <cstring>
#include <optional>

namespace velq {
namespace {

// The blocks before the data block, in file order; keeps the first failure.
class BlockReader {
 public:
  BlockReader(ByteSpan input, VelqDocument& document) : input_(input), document_(document) {}

  bool read(ByteSpan& data);
  VelqError take_error() { return VelqError{std::move(*message_)}; }

 private:
  bool read_header(VelqHeader& header);
  bool read_definitions(const std::uint8_t* block, std::size_t size);
  bool read_fields(const std::uint8_t* block, std::size_t size, std::size_t& p, VelqDefinition& definition);
  bool read_dictionary(const std::uint8_t* block, std::size_t size);

  [[gnu::cold]] bool fail(std::string message) {
    message_.emplace(std::move(message));
    return false;
  }

  ByteSpan input_;
  VelqDocument& document_;
  std::optional<std::string> message_;  // made by the first failure: a call that succeeds never builds a string
};

bool BlockReader::read(ByteSpan& data) {
  VelqHeader header;
  if (!read_header(header)) return false;
  const std::uint8_t* base = input_.data();
  const std::size_t defs_at = header.def_block_offset;
  const std::size_t dict_at = header.dict_block_offset;
  const std::size_t data_at = header.data_block_offset;
  if (!read_definitions(base + defs_at, dict_at - defs_at) || !read_dictionary(base + dict_at, data_at - dict_at)) {
    return false;
  }
  data = input_.subspan(data_at);
  return true;
}

bool BlockReader::read_header(VelqHeader& header) {
  const std::size_t len = input_.size();
  if (len < HEADER_SIZE) return fail(compose_message("Header requires ", HEADER_SIZE, " bytes, got ", len));
  header = load_header(input_.data());
  if (header.version != FORMAT_VERSION) return fail(compose_message("Unsupported VELQ version: ", header.version));
  if (header.def_block_offset < HEADER_SIZE) {
    return fail(compose_message("Def block offset ", header.def_block_offset, " before header"));
  }
  if (header.dict_block_offset < header.def_block_offset) {
    return fail(compose_message("Dict block offset ", header.dict_block_offset, " before defs"));
  }
  if (header.data_block_offset < header.dict_block_offset) {
    return fail(compose_message("Data block offset ", header.data_block_offset, " before dict"));
  }
  if (header.data_block_offset > len) {
    return fail(compose_message("Data block offset ", header.data_block_offset, " exceeds buffer length ", len));
  }
  return true;
}

bool BlockReader::read_definitions(const std::uint8_t* block, std::size_t size) {
  if (size < DEFINITION_COUNT_SIZE) return fail(compose_message("Definition block too short: ", size, " bytes"));
  const std::size_t n = load_le16(block);
  if (n > MAX_DEFINITIONS) return fail(too_many_definitions_message(n));
  const std::size_t needed = DEFINITION_COUNT_SIZE + DEFINITION_LEAD_SIZE * n;
  if (size < needed) {
    return fail(compose_message("Definition block has ", size, " bytes but ", n, " defs require ", needed));
  }
  Definitions& definitions = document_.definitions;
  definitions.reserve(n);
  std::size_t p = DEFINITION_COUNT_SIZE;
  std::size_t i = 0;
  // The compilers start every document with the six primitive definitions,
  // kind i at index i. Those bytes pass every check below, so they are taken
  // at once.
  if (n >= BUILTIN_DEFINITION_COUNT && std::memcmp(block + p, BUILTIN_RECORDS.data(), BUILTIN_RECORDS_SIZE) == 0) {
    definitions.insert(definitions.end(), BUILTIN_DEFINITIONS.begin(), BUILTIN_DEFINITIONS.end());
    i = BUILTIN_DEFINITION_COUNT;
    p += BUILTIN_RECORDS_SIZE;
  }
  for (; i < n; ++i) {
    if (p >= size) return fail(compose_message("Truncated definition block at entry ", i));
    const std::uint8_t kind = block[p];
    if (!is_type_byte(kind)) return fail(unknown_type_tag_message(kind));
    if (p + DEFINITION_LEAD_SIZE > size) return fail("Truncated definition index");
    VelqDefinition& definition = definitions.emplace_back();
    definition.kind = static_cast<VelqType>(kind);
    definition.index = load_le16(block + p + 1);
    if (definition.kind == VelqType::Array) {
      if (p + DEFINITION_LEAD_SIZE >= size) return fail("Truncated array elem_type");
      const std::uint8_t elem = block[p + DEFINITION_LEAD_SIZE];
      if (!is_type_byte(elem)) return fail(unknown_type_tag_message(elem));
      definition.elem_type = static_cast<VelqType>(elem);
      p += ARRAY_DEFINITION_SIZE;
    } else if (definition.kind == VelqType::Object) {
      ++document_.object_definitions;
      if (!read_fields(block, size, p, definition)) return false;
    } else {
      p += DEFINITION_LEAD_SIZE;
    }
  }
  return true;
}

bool BlockReader::read_fields(const std::uint8_t* block, std::size_t size, std::size_t& p,
                              VelqDefinition& definition) {
  if (p + OBJECT_DEFINITION_LEAD_SIZE > size) return fail("Truncated object field count");
  const std::size_t m = load_le16(block + p + DEFINITION_LEAD_SIZE);
  if (m > MAX_OBJECT_FIELDS) return fail(too_many_object_fields_message(definition.index, m));
  auto& fields = document_.fields;
  definition.first_field = static_cast<std::uint32_t>(fields.size());
  definition.field_count = static_cast<std::uint32_t>(m);
  std::size_t q = p + OBJECT_DEFINITION_LEAD_SIZE;
  for (std::size_t j = 0; j < m; ++j) {
    if (q >= size) return fail(compose_message("Truncated field ", j, " name length"));
    const std::size_t name_len = block[q];
    // The name and the type byte after it must both lie inside the block.
    if (q + name_len + 1 >= size) return fail(compose_message("Truncated field ", j, " name data"));
    const std::uint8_t* name = block + q + 1;
    bool ascii;
    Utf8Fault fault;
    if (!check_utf8(name, name_len, ascii, fault)) {
      return fail("Invalid UTF-8 in field name: " + describe_utf8_fault(fault));
    }
    const std::uint8_t type = block[q + name_len + 1];
    if (!is_type_byte(type)) return fail(unknown_type_tag_message(type));
    add_field(fields, std::string_view(reinterpret_cast<const char*>(name), name_len), static_cast<VelqType>(type), ascii);
    q += name_len + 2;
  }
  p = q;
  return true;
}

bool BlockReader::read_dictionary(const std::uint8_t* block, std::size_t size) {
  if (size == 0) return true;
  if (size < DICT_COUNT_SIZE) return fail("Dict block too short for entry count");
  const std::size_t count = load_le32(block);
  std::vector<std::string_view>& dict = document_.dict;
  // The count is not bounded by the format, but every string takes at least one byte of the block.
  dict.reserve(std::min(count, size - DICT_COUNT_SIZE));
  std::size_t p = DICT_COUNT_SIZE;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t left = size - p;
    if (left == 0) return fail("Truncated dict string");
    const std::uint8_t first = block[p];
    // Unlike values, the dictionary takes no references, nor medium forms with bit 6 set.
    if (first == STR_REF_TAG || (first >= 0xC0 && first < LONG_STRING_TAG)) {
      return fail("Invalid dict string encoding byte: 0x" + hex_byte(first));
    }
    const StringForm form = string_form(first);
    const std::size_t prefix = string_prefix_size(form);
    if (left < prefix) {
      return fail(form == StringForm::Medium ? "Truncated medium dict string" : "Truncated long dict string");
    }
    const std::size_t length = load_string_length(form, block + p);
    if (left < prefix + length) return fail("Truncated dict string data");
    const std::uint8_t* text = block + p + prefix;
    Utf8Fault fault;
    if (!check_utf8(text, length, fault)) return fail("Invalid UTF-8 in dict: " + describe_utf8_fault(fault));
    dict.emplace_back(reinterpret_cast<const char*>(text), length);
    p += prefix + length;
  }
  return true;
}

}  // namespace

Result<ByteSpan> decode_blocks(ByteSpan input, VelqDocument& document) {
  BlockReader reader(input, document);
  ByteSpan data;
  if (!reader.read(data)) return reader.take_error();
  return data;
}

}  // namespace velq
