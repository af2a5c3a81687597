// Writes VELQ bytes: the payload of a document's one entry while its values
// are compiled, then the blocks in front of it (header, definitions,
// dictionary, entry header).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "format.h"
#include "structure.h"

namespace velq {

// Bytes written through a cursor into memory grown with realloc, which
// extends large blocks in place rather than copying them, and leaves the room
// ahead of the cursor untouched (a std::string zero-fills it).
class ByteBuffer {
 public:
  // Memory provided by whoever is to hold the bytes in the end (such as a
  // Python bytes object), so that they are written in place rather than
  // copied there afterwards. The buffer neither frees it nor outlives it.
  class Storage {
   public:
    // The start of a block of at least `capacity` bytes that keeps the
    // content of the previous one (as realloc does); a storage that makes it
    // larger says so in `capacity`. Throws std::bad_alloc.
    virtual char* resize(std::size_t& capacity) = 0;

    // The room a storage holds from the start (on the stack, say), which a
    // buffer takes at once rather than asking for it.
    std::span<char> first_room() const { return first_room_; }

   protected:
    Storage() = default;
    explicit Storage(std::span<char> first_room) : first_room_(first_room) {}
    ~Storage() = default;

   private:
    std::span<char> first_room_;
  };

  ByteBuffer() = default;
  explicit ByteBuffer(Storage* storage)
      : storage_(storage),
        begin_(storage != nullptr ? storage->first_room().data() : nullptr),
        cursor_(begin_),
        limit_(storage != nullptr ? begin_ + storage->first_room().size() : nullptr) {}
  ByteBuffer(ByteBuffer&& other) noexcept { take(other); }
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~ByteBuffer() { release(); }

  const char* data() const { return begin_; }
  std::size_t size() const { return static_cast<std::size_t>(cursor_ - begin_); }
  std::string_view view() const { return {begin_, size()}; }

  // Makes room for n more bytes ahead of the cursor.
  [[gnu::always_inline]] void reserve(std::size_t n) {
    if (static_cast<std::size_t>(limit_ - cursor_) < n) [[unlikely]] grow(n);
  }
  [[gnu::always_inline]] char* claim(std::size_t n) {
    reserve(n);
    char* at = cursor_;
    cursor_ += n;
    return at;
  }
  // Room for n more bytes, as unsigned bytes (the format's own code works on those).
  [[gnu::always_inline]] std::uint8_t* claim_bytes(std::size_t n) { return reinterpret_cast<std::uint8_t*>(claim(n)); }
  [[gnu::always_inline]] void put_u8(std::uint8_t v) { *claim(1) = static_cast<char>(v); }
  [[gnu::always_inline]] void put_u16(std::uint16_t v) { store_le16(claim(2), v); }
  [[gnu::always_inline]] void put_u32(std::uint32_t v) { store_le32(claim(4), v); }
  void put_bytes(const void* bytes, std::size_t n) {
    if (n != 0) std::memcpy(claim(n), bytes, n);
  }
  std::uint8_t* bytes_at(std::size_t at) { return reinterpret_cast<std::uint8_t*>(begin_ + at); }
  const std::uint8_t* bytes_at(std::size_t at) const { return reinterpret_cast<const std::uint8_t*>(begin_ + at); }
  // The room ahead of the cursor, made already.
  std::size_t room() const { return static_cast<std::size_t>(limit_ - cursor_); }
  // Moves everything written so far n bytes up, and returns the n bytes
  // freed at the start, to be written.
  std::uint8_t* open_in_front(std::size_t n);

 private:
  void take(ByteBuffer& other) {
    storage_ = std::exchange(other.storage_, nullptr);
    begin_ = std::exchange(other.begin_, nullptr);
    cursor_ = std::exchange(other.cursor_, nullptr);
    limit_ = std::exchange(other.limit_, nullptr);
  }
  void release();
  [[gnu::noinline, gnu::cold]] void grow(std::size_t n);  // throws std::bad_alloc

  Storage* storage_ = nullptr;
  char* begin_ = nullptr;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
};

// Appends one string in its inline form (prefix, then text); false, with
// nothing appended, for a string too long for it.
inline bool put_inline_string(ByteBuffer& out, std::string_view text) {
  const std::size_t size = text.size();
  if (size <= 32) {
    // Most strings (keys above all) are this short: a one-byte prefix, and
    // the text copied without a call (see copy_bytes).
    static_assert(32 <= MAX_SHORT_STRING_LEN);
    std::uint8_t* at = out.claim_bytes(1 + size);
    at[0] = static_cast<std::uint8_t>(size);
    copy_bytes(at + 1, text.data(), size);
    return true;
  }
  std::uint8_t prefix[MAX_STRING_PREFIX_SIZE];
  const std::size_t prefix_size = store_string_prefix(prefix, text.size());
  if (prefix_size == 0) [[unlikely]] return false;
  // One claim for both parts; the prefix is copied byte by byte rather than
  // by a call, as it is mostly a single byte.
  std::uint8_t* at = out.claim_bytes(prefix_size + text.size());
  for (std::size_t i = 0; i < prefix_size; ++i) at[i] = prefix[i];
  copy_bytes(at + prefix_size, text.data(), text.size());
  return true;
}

// Writes the payload of a document's one entry while its values are being
// compiled, value by value. An array's or object's header is written first
// and completed by its end_ call. What the writer refuses (a string too long,
// an array of too many items) is recorded, the first such failure in writing
// order, rather than ending the writing, since the compilers' own checks come
// first; see encode_front.
class PayloadWriter {
 public:
  PayloadWriter() = default;
  explicit PayloadWriter(ByteBuffer::Storage* storage) : out_(storage) {}

  void boolean(bool value) { out_.put_u8(value ? 1 : 0); }
  void int32(std::int32_t value) { out_.put_u32(static_cast<std::uint32_t>(value)); }
  void uint32(std::uint32_t value) { out_.put_u32(value); }
  void float32(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    out_.put_u32(bits);
  }
  void string(std::string_view text) {
    if (!put_inline_string(out_, text)) [[unlikely]] note_failure(out_.size(), kInlineStringTooLong);
  }
  void str_ref(std::uint32_t position) {
    std::uint8_t* at = out_.claim_bytes(STR_REF_SIZE);
    at[0] = STR_REF_TAG;
    store_le32(at + 1, position);
  }

  // Returns where the array starts; its items follow. Its header is
  // completed by end_array.
  std::size_t begin_array() {
    const std::size_t at = out_.size();
    out_.claim_bytes(ARRAY_HEADER_SIZE);
    return at;
  }
  void end_array(std::size_t at, std::uint16_t self_def_index, std::uint16_t elem_def_index, std::size_t count) {
    if (count > MAX_ARRAY_ITEMS) [[unlikely]] note_failure(at, too_many_array_items_message(count));
    store_array_header(out_.bytes_at(at), {self_def_index, elem_def_index, static_cast<std::uint16_t>(count)});
  }
  // Item `index` of the array at `at`, whose items up to it are all four-byte
  // numbers, as its bits; and the same item rewritten as a Float32.
  std::uint32_t item_bits(std::size_t at, std::size_t index) const {
    return load_le32(out_.bytes_at(at + ARRAY_HEADER_SIZE + NUMBER_SIZE * index));
  }
  void rewrite_item_as_float32(std::size_t at, std::size_t index, float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    store_le32(out_.bytes_at(at + ARRAY_HEADER_SIZE + NUMBER_SIZE * index), bits);
  }

  std::size_t begin_object() {
    const std::size_t at = out_.size();
    out_.claim_bytes(OBJECT_HEADER_SIZE);
    return at;
  }
  void end_object(std::size_t at, std::uint16_t self_def_index) { store_le16(out_.bytes_at(at), self_def_index); }

  void reserve(std::size_t n) { out_.reserve(n); }
  ByteBuffer& bytes() { return out_; }
  const ByteBuffer& bytes() const { return out_; }
  const std::optional<std::string>& failure() const { return failure_; }

 private:
  // The failure a reader of the finished bytes meets first is the one
  // furthest ahead; of two at the same place, the one written first. (An
  // array's count is checked after its items, but stands before them.)
  [[gnu::cold]] void note_failure(std::size_t at, std::string message) {
    if (!failure_ || at < failure_at_) {
      failure_ = std::move(message);
      failure_at_ = at;
    }
  }

  ByteBuffer out_;
  std::optional<std::string> failure_;
  std::size_t failure_at_ = 0;
};

// What stands in front of a document's one entry besides its header: the
// definitions with their fields, the dictionary (texts that live elsewhere)
// and the position of the entry's definition.
struct DocumentFront {
  std::span<const VelqDefinition> definitions;
  std::span<const VelqField> fields;
  std::span<const std::string_view> dict;
  std::uint16_t def_index;
};

// Appends everything in front of the payload: the header, the definition
// and dictionary blocks, the entry count and the entry's header. Fails with
// the first failure in writing order, the payload's own (see PayloadWriter)
// after those of the blocks before it.
Status encode_front(ByteBuffer& out, const DocumentFront& front, const PayloadWriter& payload);

// The size of what encode_front appends, when it succeeds.
std::size_t front_size(const DocumentFront& front);

// The whole document: the front, then the payload. It is put together in the
// payload's own memory when that has room for the front already, or when the
// front is small beside the payload (the payload moves once and keeps the
// pages it has touched), else in `fresh` (one copy of the payload, rather
// than a move and a copy of the front). Returns the buffer that holds it.
Result<ByteBuffer*> encode_document(const DocumentFront& front, PayloadWriter& payload, ByteBuffer& fresh);

}  // namespace velq
