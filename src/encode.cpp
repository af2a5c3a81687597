#include "encode.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace velq {
namespace {

// The front is measured and checked first, then written through a plain
// pointer into room made for all of it: the writing loop then needs no
// bounds checks, and keeps its position in a register.

// Where the blocks of a front stand, from the start of the header.
struct FrontLayout {
  std::size_t builtins = 0;  // leading definitions that are the built-in ones
  std::size_t dict_offset = 0;
  std::size_t data_offset = 0;
  std::size_t size = 0;  // the whole front, up to the payload
};

// Adds the bytes of one definition to `size`; fails with what the writer
// refuses in it.
Status measure_definition(const VelqDefinition& definition, std::span<const VelqField> fields, std::size_t& size) {
  if (definition.kind == VelqType::Array) {
    if (!definition.elem_type) return VelqError{missing_elem_type_message(definition.index)};
    size += ARRAY_DEFINITION_SIZE;
    return {};
  }
  if (definition.kind != VelqType::Object) {
    size += DEFINITION_LEAD_SIZE;
    return {};
  }
  if (definition.field_count > 0xFFFF) {
    return VelqError{compose_message("Too many fields (", definition.field_count, "), max ", 0xFFFF)};
  }
  size += OBJECT_DEFINITION_LEAD_SIZE;
  for (const VelqField& field : fields_of(fields, definition)) {
    if (field.name.size() > MAX_FIELD_NAME_LEN) [[unlikely]] return VelqError{kFieldNameTooLong};
    size += 2 + field.name.size();
  }
  return {};
}

// How many of the first definitions are the six built-in ones, which are
// written as one constant: six or none.
std::size_t builtin_prefix(std::span<const VelqDefinition> definitions) {
  if (definitions.size() < BUILTIN_DEFINITION_COUNT) return 0;
  for (std::size_t i = 0; i < BUILTIN_DEFINITION_COUNT; ++i) {
    if (definitions[i].kind != static_cast<VelqType>(i) || definitions[i].index != i) return 0;
  }
  return BUILTIN_DEFINITION_COUNT;
}

std::size_t inline_string_size(std::size_t length) {
  std::uint8_t prefix[MAX_STRING_PREFIX_SIZE];
  return store_string_prefix(prefix, length) + length;
}

VelqError offset_too_large(const char* block, std::size_t offset) {
  return VelqError{compose_message(block, " block offset too large (", offset, " bytes), max ", MAX_U32)};
}

// The layout of the front, or the first failure in writing order.
Result<FrontLayout> measure_front(const DocumentFront& front) {
  const std::span<const VelqDefinition> definitions = front.definitions;
  if (definitions.size() > MAX_ENCODED_DEFINITIONS) {
    return VelqError{compose_message("Too many definitions (", definitions.size(), "), max ", MAX_ENCODED_DEFINITIONS)};
  }
  FrontLayout layout;
  layout.builtins = builtin_prefix(definitions);
  std::size_t size = HEADER_SIZE + DEFINITION_COUNT_SIZE + DEFINITION_LEAD_SIZE * layout.builtins;
  for (const VelqDefinition& definition : definitions.subspan(layout.builtins)) {
    Status measured = measure_definition(definition, front.fields, size);
    if (!measured) return std::move(measured).error();
  }
  layout.dict_offset = size;
  if (size > MAX_U32) return offset_too_large("Dict", size);
  if (front.dict.size() > MAX_U32) {
    return VelqError{compose_message("Too many dictionary strings (", front.dict.size(), "), max ", MAX_U32)};
  }
  size += DICT_COUNT_SIZE;
  for (std::string_view text : front.dict) {
    if (text.size() > MAX_INLINE_STRING_LEN) return VelqError{kInlineStringTooLong};
    size += inline_string_size(text.size());
  }
  layout.data_offset = size;
  if (size > MAX_U32) return offset_too_large("Data", size);
  layout.size = size + ENTRY_COUNT_SIZE + ENTRY_HEADER_SIZE;
  return layout;
}

// The payload's own failure, which a reader meets after the whole front.
Status check_payload(const PayloadWriter& payload) {
  if (payload.failure()) return VelqError{*payload.failure()};
  const std::size_t size = payload.bytes().size();
  if (size > MAX_U32) return VelqError{compose_message("Payload too large (", size, " bytes), max ", MAX_U32)};
  return {};
}

std::uint8_t* write_definition(std::uint8_t* at, const VelqDefinition& definition, std::span<const VelqField> fields) {
  at[0] = static_cast<std::uint8_t>(definition.kind);
  store_le16(at + 1, definition.index);
  if (definition.kind == VelqType::Array) {
    at[3] = static_cast<std::uint8_t>(*definition.elem_type);
    return at + ARRAY_DEFINITION_SIZE;
  }
  if (definition.kind != VelqType::Object) return at + DEFINITION_LEAD_SIZE;
  store_le16(at + DEFINITION_LEAD_SIZE, static_cast<std::uint16_t>(definition.field_count));
  at += OBJECT_DEFINITION_LEAD_SIZE;
  for (const VelqField& field : fields_of(fields, definition)) {
    const std::size_t length = field.name.size();
    at[0] = static_cast<std::uint8_t>(length);
    copy_bytes(at + 1, field.name.data(), length);
    at[length + 1] = static_cast<std::uint8_t>(field.type);
    at += length + 2;
  }
  return at;
}

// Writes a front that measure_front has measured into `at`.
void write_front(std::uint8_t* at, const DocumentFront& front, const FrontLayout& layout,
                 std::size_t payload_size) {
  store_header(at, {FORMAT_VERSION, static_cast<std::uint32_t>(HEADER_SIZE),
                    static_cast<std::uint32_t>(layout.dict_offset), static_cast<std::uint32_t>(layout.data_offset)});
  std::uint8_t* p = at + HEADER_SIZE;
  store_le16(p, static_cast<std::uint16_t>(front.definitions.size()));
  p += DEFINITION_COUNT_SIZE;
  if (layout.builtins != 0) {
    std::memcpy(p, BUILTIN_RECORDS.data(), BUILTIN_RECORDS_SIZE);
    p += BUILTIN_RECORDS_SIZE;
  }
  for (const VelqDefinition& definition : front.definitions.subspan(layout.builtins)) {
    p = write_definition(p, definition, front.fields);
  }
  store_le32(p, static_cast<std::uint32_t>(front.dict.size()));
  p += DICT_COUNT_SIZE;
  for (std::string_view text : front.dict) {
    p += store_string_prefix(p, text.size());
    copy_bytes(p, text.data(), text.size());
    p += text.size();
  }
  store_le32(p, 1);
  store_entry_header(p + ENTRY_COUNT_SIZE, {front.def_index, static_cast<std::uint32_t>(payload_size)});
}

}  // namespace

void ByteBuffer::release() {
  if (storage_ == nullptr) std::free(begin_);
  begin_ = cursor_ = limit_ = nullptr;
}

void ByteBuffer::grow(std::size_t n) {
  const std::size_t size = this->size();
  const auto capacity_now = static_cast<std::size_t>(limit_ - begin_);
  std::size_t capacity = std::max({size + n, 2 * capacity_now, std::size_t{256}});
  char* grown =
      storage_ != nullptr ? storage_->resize(capacity) : static_cast<char*>(std::realloc(begin_, capacity));
  if (grown == nullptr) throw std::bad_alloc();
  begin_ = grown;
  cursor_ = grown + size;
  limit_ = grown + capacity;
}

std::uint8_t* ByteBuffer::open_in_front(std::size_t n) {
  const std::size_t size = this->size();
  claim(n);
  if (size != 0) std::memmove(begin_ + n, begin_, size);
  return reinterpret_cast<std::uint8_t*>(begin_);
}

std::size_t front_size(const DocumentFront& front) {
  Result<FrontLayout> layout = measure_front(front);
  return layout ? layout.value().size : 0;
}

Status encode_front(ByteBuffer& out, const DocumentFront& front, const PayloadWriter& payload) {
  Result<FrontLayout> layout = measure_front(front);
  if (!layout) return std::move(layout).error();
  if (Status checked = check_payload(payload); !checked) return checked;
  write_front(out.claim_bytes(layout.value().size), front, layout.value(), payload.bytes().size());
  return {};
}

Result<ByteBuffer*> encode_document(const DocumentFront& front, PayloadWriter& payload, ByteBuffer& fresh) {
  Result<FrontLayout> layout = measure_front(front);
  if (!layout) return std::move(layout).error();
  if (Status checked = check_payload(payload); !checked) return std::move(checked).error();
  const std::size_t payload_size = payload.bytes().size();
  const std::size_t front_room = layout.value().size;
  ByteBuffer& in_place = payload.bytes();
  if (in_place.room() >= front_room || front_room <= payload_size / 8) {
    write_front(in_place.open_in_front(front_room), front, layout.value(), payload_size);
    return &in_place;
  }
  fresh.reserve(front_room + payload_size);
  write_front(fresh.claim_bytes(front_room), front, layout.value(), payload_size);
  fresh.put_bytes(payload.bytes().data(), payload_size);
  return &fresh;
}

}  // namespace velq
