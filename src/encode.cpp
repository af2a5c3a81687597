#include "encode.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

namespace velq {
namespace {

constexpr std::size_t kMaxU16 = 0xFFFF;
constexpr std::size_t kMaxU32 = 0xFFFFFFFF;
constexpr std::size_t kMaxFieldNameLen = 255;
// What the data block reserves per chunk before writing: entry header plus a small value.
constexpr std::size_t kReservePerChunk = 16;

// One encoding run: the writer it appends to and the first failure.
class Encoder {
 public:
  explicit Encoder(ByteBuffer& out) : out_(out) {}

  bool write_document(const VelqDocument& document);
  template <class Text>
  bool write_single_chunk_head(const std::vector<VelqDefinition>& definitions, const std::vector<Text>& dict,
                         std::uint16_t def_index, const PayloadWriter& payload);
  bool write_string(std::string_view text);
  // Inlined into the loops over items and field values, so that only compound nodes cost a call.
  [[gnu::always_inline]] inline bool write_value(const VelqData& value);

  VelqError take_error() { return VelqError::parse(std::move(error_)); }

 private:
  template <class Text>
  bool write_blocks_before_data(const std::vector<VelqDefinition>& definitions, const std::vector<Text>& dict,
                          std::uint8_t version);
  bool write_definitions(const std::vector<VelqDefinition>& definitions);
  bool write_definition(const VelqDefinition& definition);
  template <class Text>
  bool write_dictionary(const std::vector<Text>& dict);
  bool write_data(const std::vector<VelqChunk>& chunks);
  bool write_array(const VelqArray& array);
  bool write_object(const VelqObject& object);

  [[gnu::cold]] bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  ByteBuffer& out_;
  std::string error_;
};

bool Encoder::write_document(const VelqDocument& document) {
  return write_blocks_before_data(document.definitions, document.dict, document.version) &&
         write_data(document.chunks);
}

// The header, the definition block and the dictionary block.
template <class Text>
bool Encoder::write_blocks_before_data(const std::vector<VelqDefinition>& definitions, const std::vector<Text>& dict,
                                 std::uint8_t version) {
  static constexpr char kHeaderRoom[HEADER_SIZE] = {};
  const std::size_t header_at = out_.size();
  out_.put_bytes(kHeaderRoom, HEADER_SIZE);
  if (!write_definitions(definitions)) return false;

  const std::size_t dict_offset = out_.size() - header_at;
  if (dict_offset > kMaxU32) {
    return fail(compose_message("Dict block offset too large (", dict_offset, " bytes), max ", kMaxU32));
  }
  if (!write_dictionary(dict)) return false;

  const std::size_t data_offset = out_.size() - header_at;
  if (data_offset > kMaxU32) {
    return fail(compose_message("Data block offset too large (", data_offset, " bytes), max ", kMaxU32));
  }
  out_.patch_u8(header_at, version);
  out_.patch_u32(header_at + 1, HEADER_SIZE);
  out_.patch_u32(header_at + 5, static_cast<std::uint32_t>(dict_offset));
  out_.patch_u32(header_at + 9, static_cast<std::uint32_t>(data_offset));
  return true;
}

// What write_data() writes before and after the value of a single chunk, around a payload written elsewhere.
template <class Text>
bool Encoder::write_single_chunk_head(const std::vector<VelqDefinition>& definitions, const std::vector<Text>& dict,
                                std::uint16_t def_index, const PayloadWriter& payload) {
  if (!write_blocks_before_data(definitions, dict, FORMAT_VERSION)) return false;
  out_.reserve(10);
  out_.put_u32(1);
  out_.put_u16(def_index);
  if (payload.failure()) return fail(*payload.failure());
  const std::size_t size = payload.bytes().size();
  if (size > kMaxU32) return fail(compose_message("Payload too large (", size, " bytes), max ", kMaxU32));
  out_.put_u32(static_cast<std::uint32_t>(size));
  return true;
}

bool Encoder::write_definitions(const std::vector<VelqDefinition>& definitions) {
  if (definitions.size() > MAX_ENCODED_DEFINITIONS) {
    return fail(compose_message("Too many definitions (", definitions.size(), "), max ", MAX_ENCODED_DEFINITIONS));
  }
  // Most definitions are primitive or array ones of 3 or 4 bytes; object ones grow the buffer as needed.
  out_.reserve(2 + 4 * definitions.size());
  out_.put_u16(static_cast<std::uint16_t>(definitions.size()));
  for (const VelqDefinition& definition : definitions) {
    if (!write_definition(definition)) return false;
  }
  return true;
}

bool Encoder::write_definition(const VelqDefinition& definition) {
  out_.put_u8(static_cast<std::uint8_t>(definition.kind));
  out_.put_u16(definition.index);
  if (definition.kind == VelqType::Array) {
    if (!definition.elem_type) return fail(missing_elem_type_message(definition.index));
    out_.put_u8(static_cast<std::uint8_t>(*definition.elem_type));
  } else if (definition.kind == VelqType::Object) {
    if (!definition.fields) return fail(missing_fields_message(definition.index));
    const std::vector<VelqField>& fields = *definition.fields;
    if (fields.size() > kMaxU16) return fail(compose_message("Too many fields (", fields.size(), "), max ", kMaxU16));
    out_.put_u16(static_cast<std::uint16_t>(fields.size()));
    for (const VelqField& field : fields) {
      if (field.name.size() > kMaxFieldNameLen) return fail("Field name too long");
      out_.reserve(field.name.size() + 2);
      out_.put_u8(static_cast<std::uint8_t>(field.name.size()));
      out_.put_bytes(field.name.data(), field.name.size());
      out_.put_u8(static_cast<std::uint8_t>(field.type));
    }
  }
  return true;
}

template <class Text>
bool Encoder::write_dictionary(const std::vector<Text>& dict) {
  if (dict.size() > kMaxU32) {
    return fail(compose_message("Too many dictionary strings (", dict.size(), "), max ", kMaxU32));
  }
  std::size_t bytes = 4;
  for (const Text& text : dict) bytes += text.size() + 4;
  out_.reserve(bytes);
  out_.put_u32(static_cast<std::uint32_t>(dict.size()));
  for (const Text& text : dict) {
    if (!write_string(text)) return false;
  }
  return true;
}

bool Encoder::write_data(const std::vector<VelqChunk>& chunks) {
  if (chunks.size() > kMaxU32) return fail(compose_message("Too many chunks (", chunks.size(), "), max ", kMaxU32));
  out_.reserve(4 + kReservePerChunk * chunks.size());
  out_.put_u32(static_cast<std::uint32_t>(chunks.size()));
  for (const VelqChunk& chunk : chunks) {
    out_.put_u16(chunk.def_index);
    const std::size_t length_at = out_.size();
    out_.put_u32(0);
    if (!write_value(chunk.data)) return false;
    const std::size_t payload = out_.size() - length_at - 4;
    if (payload > kMaxU32) return fail(compose_message("Payload too large (", payload, " bytes), max ", kMaxU32));
    out_.patch_u32(length_at, static_cast<std::uint32_t>(payload));
  }
  return true;
}

bool Encoder::write_string(std::string_view text) {
  if (!put_inline_string(out_, text)) return fail(kInlineStringTooLong);
  return true;
}

bool Encoder::write_value(const VelqData& value) {
  switch (value.index()) {
    case kNullIndex:
      return true;
    case kBoolIndex:
      out_.put_u8(*std::get_if<kBoolIndex>(&value) ? 1 : 0);
      return true;
    case kInt32Index:
      out_.put_u32(static_cast<std::uint32_t>(*std::get_if<kInt32Index>(&value)));
      return true;
    case kUInt32Index:
      out_.put_u32(*std::get_if<kUInt32Index>(&value));
      return true;
    case kFloat32Index:
      out_.put_u32(std::bit_cast<std::uint32_t>(*std::get_if<kFloat32Index>(&value)));
      return true;
    case kStringIndex:
      return write_string(*std::get_if<kStringIndex>(&value));
    case kStrRefIndex:
      put_str_ref(out_, std::get_if<kStrRefIndex>(&value)->index);
      return true;
    case kArrayIndex:
      return write_array(*std::get_if<kArrayIndex>(&value));
    case kObjectIndex:
      return write_object(*std::get_if<kObjectIndex>(&value));
  }
  return true;  // a valueless variant has nothing to write
}

bool Encoder::write_object(const VelqObject& object) {
  out_.put_u16(object.self_def_index);
  for (const VelqData& field_value : object.values) {
    if (!write_value(field_value)) return false;
  }
  return true;
}

bool Encoder::write_array(const VelqArray& array) {
  if (array.items.size() > MAX_ARRAY_ITEMS) {
    return fail(too_many_array_items_message(array.items.size()));
  }
  put_array_header(out_, array.self_def_index, array.elem_def_index, array.items.size());
  for (const VelqData& item : array.items) {
    if (!write_value(item)) return false;
  }
  return true;
}

}  // namespace

Result<std::string> encode_document(const VelqDocument& document) {
  ByteBuffer out;
  Encoder encoder(out);
  if (!encoder.write_document(document)) return encoder.take_error();
  return std::string(out.view());
}

namespace {

// Room for everything in front of the payload, so that it is written without growing.
template <class Text>
std::size_t head_size_bound(const std::vector<VelqDefinition>& definitions, const std::vector<Text>& dict) {
  std::size_t bound = HEADER_SIZE + 2 + 4 + 10;
  for (const VelqDefinition& definition : definitions) {
    bound += 4;
    if (definition.fields) {
      bound += 2;
      for (const VelqField& field : *definition.fields) bound += 2 + field.name.size();
    }
  }
  for (const Text& text : dict) bound += 4 + text.size();
  return bound;
}

template <class Text>
Status encode_head_texts(ByteBuffer& out, const std::vector<VelqDefinition>& definitions,
                         const std::vector<Text>& dict, std::uint16_t def_index, const PayloadWriter& payload) {
  out.reserve(head_size_bound(definitions, dict));
  Encoder encoder(out);
  if (!encoder.write_single_chunk_head(definitions, dict, def_index, payload)) return encoder.take_error();
  return {};
}

}  // namespace

Status encode_head_into(ByteBuffer& out, const std::vector<VelqDefinition>& definitions,
                        const std::vector<std::string>& dict, std::uint16_t def_index,
                        const PayloadWriter& payload) {
  return encode_head_texts(out, definitions, dict, def_index, payload);
}

Status encode_head_into(ByteBuffer& out, const std::vector<VelqDefinition>& definitions,
                        const std::vector<std::string_view>& dict, std::uint16_t def_index,
                        const PayloadWriter& payload) {
  return encode_head_texts(out, definitions, dict, def_index, payload);
}

std::size_t encoded_head_size_bound(const std::vector<VelqDefinition>& definitions,
                                    const std::vector<std::string_view>& dict) {
  return head_size_bound(definitions, dict);
}

Result<std::string> encode_head(const std::vector<VelqDefinition>& definitions,
                                const std::vector<std::string>& dict, std::uint16_t def_index,
                                const PayloadWriter& payload) {
  ByteBuffer out;
  if (Status status = encode_head_into(out, definitions, dict, def_index, payload); !status) {
    return std::move(status).error();
  }
  return std::string(out.view());
}

void ByteBuffer::release() {
  if (storage_ == nullptr) std::free(begin_);
  begin_ = cursor_ = limit_ = nullptr;
}

void ByteBuffer::grow(std::size_t n) {
  const std::size_t size = this->size();
  const auto capacity_now = static_cast<std::size_t>(limit_ - begin_);
  const std::size_t capacity = std::max({size + n, 2 * capacity_now, std::size_t{256}});
  char* grown =
      storage_ != nullptr ? storage_->resize(capacity) : static_cast<char*>(std::realloc(begin_, capacity));
  if (grown == nullptr) throw std::bad_alloc();
  begin_ = grown;
  cursor_ = grown + size;
  limit_ = grown + capacity;
}

Status encode_str_inline(std::string_view text, std::string& out) {
  ByteBuffer bytes;
  Encoder encoder(bytes);
  if (!encoder.write_string(text)) return encoder.take_error();
  out.append(bytes.view());
  return {};
}

Status encode_value_into(const VelqData& value, std::string& out) {
  ByteBuffer bytes;
  Encoder encoder(bytes);
  if (!encoder.write_value(value)) return encoder.take_error();
  out.append(bytes.view());
  return {};
}

}  // namespace velq
