#include "encode.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace velq {
namespace {

// One run of writing the blocks in front of a payload; keeps the first failure.
class FrontWriter {
 public:
  explicit FrontWriter(ByteBuffer& out) : out_(out) {}

  template <class Text>
  bool write(const DocumentFront<Text>& front, const PayloadWriter& payload);

  VelqError take_error() { return VelqError{std::move(error_)}; }

 private:
  bool write_definitions(std::span<const VelqDefinition> definitions);
  bool write_definition(const VelqDefinition& definition);
  template <class Text>
  bool write_dictionary(std::span<const Text> dict);
  bool block_offset(const char* block, std::size_t offset);

  [[gnu::cold]] bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  ByteBuffer& out_;
  std::string error_;
};

template <class Text>
bool FrontWriter::write(const DocumentFront<Text>& front, const PayloadWriter& payload) {
  const std::size_t header_at = out_.size();
  out_.claim_bytes(HEADER_SIZE);
  if (!write_definitions(front.definitions)) return false;
  const std::size_t dict_offset = out_.size() - header_at;
  if (!block_offset("Dict", dict_offset) || !write_dictionary(front.dict)) return false;
  const std::size_t data_offset = out_.size() - header_at;
  if (!block_offset("Data", data_offset)) return false;
  store_header(out_.bytes_at(header_at), {FORMAT_VERSION, static_cast<std::uint32_t>(HEADER_SIZE),
                                          static_cast<std::uint32_t>(dict_offset),
                                          static_cast<std::uint32_t>(data_offset)});

  std::uint8_t* entry = out_.claim_bytes(ENTRY_COUNT_SIZE + ENTRY_HEADER_SIZE);
  store_le32(entry, 1);
  if (payload.failure()) return fail(*payload.failure());
  const std::size_t size = payload.bytes().size();
  if (size > MAX_U32) return fail(compose_message("Payload too large (", size, " bytes), max ", MAX_U32));
  store_entry_header(entry + ENTRY_COUNT_SIZE, {front.def_index, static_cast<std::uint32_t>(size)});
  return true;
}

bool FrontWriter::block_offset(const char* block, std::size_t offset) {
  if (offset <= MAX_U32) return true;
  return fail(compose_message(block, " block offset too large (", offset, " bytes), max ", MAX_U32));
}

bool FrontWriter::write_definitions(std::span<const VelqDefinition> definitions) {
  if (definitions.size() > MAX_ENCODED_DEFINITIONS) {
    return fail(compose_message("Too many definitions (", definitions.size(), "), max ", MAX_ENCODED_DEFINITIONS));
  }
  out_.put_u16(static_cast<std::uint16_t>(definitions.size()));
  for (const VelqDefinition& definition : definitions) {
    if (!write_definition(definition)) return false;
  }
  return true;
}

// Each definition, and each field record, is claimed whole and stored in place.
bool FrontWriter::write_definition(const VelqDefinition& definition) {
  const auto kind = static_cast<std::uint8_t>(definition.kind);
  if (definition.kind == VelqType::Array) {
    if (!definition.elem_type) return fail(missing_elem_type_message(definition.index));
    std::uint8_t* at = out_.claim_bytes(ARRAY_DEFINITION_SIZE);
    at[0] = kind;
    store_le16(at + 1, definition.index);
    at[3] = static_cast<std::uint8_t>(*definition.elem_type);
    return true;
  }
  if (definition.kind != VelqType::Object) {
    std::uint8_t* at = out_.claim_bytes(DEFINITION_LEAD_SIZE);
    at[0] = kind;
    store_le16(at + 1, definition.index);
    return true;
  }
  if (!definition.fields) return fail(missing_fields_message(definition.index));
  const std::vector<VelqField>& fields = *definition.fields;
  if (fields.size() > 0xFFFF) return fail(compose_message("Too many fields (", fields.size(), "), max ", 0xFFFF));
  std::uint8_t* at = out_.claim_bytes(OBJECT_DEFINITION_LEAD_SIZE);
  at[0] = kind;
  store_le16(at + 1, definition.index);
  store_le16(at + DEFINITION_LEAD_SIZE, static_cast<std::uint16_t>(fields.size()));
  for (const VelqField& field : fields) {
    const std::size_t length = field.name.size();
    if (length > MAX_FIELD_NAME_LEN) return fail(kFieldNameTooLong);
    std::uint8_t* record = out_.claim_bytes(length + 2);
    record[0] = static_cast<std::uint8_t>(length);
    if (length != 0) std::memcpy(record + 1, field.name.data(), length);
    record[length + 1] = static_cast<std::uint8_t>(field.type);
  }
  return true;
}

template <class Text>
bool FrontWriter::write_dictionary(std::span<const Text> dict) {
  if (dict.size() > MAX_U32) {
    return fail(compose_message("Too many dictionary strings (", dict.size(), "), max ", MAX_U32));
  }
  out_.put_u32(static_cast<std::uint32_t>(dict.size()));
  for (const Text& text : dict) {
    if (!put_inline_string(out_, text)) return fail(kInlineStringTooLong);
  }
  return true;
}

}  // namespace

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

void ByteBuffer::put_in_front(std::string_view bytes) {
  const std::size_t size = this->size();
  claim(bytes.size());
  std::memmove(begin_ + bytes.size(), begin_, size);
  if (!bytes.empty()) std::memcpy(begin_, bytes.data(), bytes.size());
}

template <class Text>
std::size_t front_size(const DocumentFront<Text>& front) {
  std::size_t size = HEADER_SIZE + DEFINITION_COUNT_SIZE + DICT_COUNT_SIZE + ENTRY_COUNT_SIZE + ENTRY_HEADER_SIZE;
  for (const VelqDefinition& definition : front.definitions) {
    if (definition.kind == VelqType::Array) {
      size += ARRAY_DEFINITION_SIZE;
    } else if (definition.kind == VelqType::Object && definition.fields) {
      size += OBJECT_DEFINITION_LEAD_SIZE;
      for (const VelqField& field : *definition.fields) size += 2 + field.name.size();
    } else {
      size += DEFINITION_LEAD_SIZE;
    }
  }
  std::uint8_t prefix[MAX_STRING_PREFIX_SIZE];
  for (const Text& text : front.dict) size += store_string_prefix(prefix, text.size()) + text.size();
  return size;
}

namespace {

// `size` is front_size(front): room for all of it at once, so that it is
// written without growing.
template <class Text>
Status encode_front_sized(ByteBuffer& out, const DocumentFront<Text>& front, const PayloadWriter& payload,
                          std::size_t size) {
  out.reserve(size);
  FrontWriter writer(out);
  if (!writer.write(front, payload)) return writer.take_error();
  return {};
}

}  // namespace

template <class Text>
Status encode_front(ByteBuffer& out, const DocumentFront<Text>& front, const PayloadWriter& payload) {
  return encode_front_sized(out, front, payload, front_size(front));
}

template <class Text>
Result<ByteBuffer*> encode_document(const DocumentFront<Text>& front, PayloadWriter& payload, ByteBuffer& fresh) {
  const std::size_t payload_size = payload.bytes().size();
  const std::size_t front_room = front_size(front);
  if (front_room <= payload_size / 8) {
    ByteBuffer in_front;
    if (Status written = encode_front_sized(in_front, front, payload, front_room); !written) {
      return std::move(written).error();
    }
    payload.bytes().put_in_front(in_front.view());
    return &payload.bytes();
  }
  fresh.reserve(front_room + payload_size);
  if (Status written = encode_front_sized(fresh, front, payload, front_room); !written) {
    return std::move(written).error();
  }
  fresh.put_bytes(payload.bytes().data(), payload_size);
  return &fresh;
}

// The dictionary's texts are owned strings (JSON text, whose unescaped
// strings are gone by then) or views (Python strs, alive throughout).
template Status encode_front(ByteBuffer&, const DocumentFront<std::string>&, const PayloadWriter&);
template Status encode_front(ByteBuffer&, const DocumentFront<std::string_view>&, const PayloadWriter&);
template Result<ByteBuffer*> encode_document(const DocumentFront<std::string>&, PayloadWriter&, ByteBuffer&);
template Result<ByteBuffer*> encode_document(const DocumentFront<std::string_view>&, PayloadWriter&, ByteBuffer&);
template std::size_t front_size(const DocumentFront<std::string>&);
template std::size_t front_size(const DocumentFront<std::string_view>&);

}  // namespace velq
