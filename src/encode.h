// Writes a VelqDocument as VELQ bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "format.h"
#include "structure.h"

namespace velq {

// The whole file as bytes (std::string used as a byte buffer), or the first
// error met; on error nothing is returned.
Result<std::string> encode_document(const VelqDocument& document);

// Appends one string in the short, medium or long form; appends nothing on error.
Status encode_str_inline(std::string_view text, std::string& out);

// Appends the tag-free encoding of one node, recursively.
Status encode_value_into(const VelqData& value, std::string& out);

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
    // The start of a block of `capacity` bytes that keeps the content of the
    // previous one (as realloc does). Throws std::bad_alloc.
    virtual char* resize(std::size_t capacity) = 0;

   protected:
    ~Storage() = default;
  };

  ByteBuffer() = default;
  explicit ByteBuffer(Storage* storage) : storage_(storage) {}
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
  [[gnu::always_inline]] void put_u8(std::uint8_t v) { *claim(1) = static_cast<char>(v); }
  [[gnu::always_inline]] void put_u16(std::uint16_t v) { store_le16(claim(2), v); }
  [[gnu::always_inline]] void put_u32(std::uint32_t v) { store_le32(claim(4), v); }
  void put_bytes(const void* bytes, std::size_t n) {
    if (n != 0) std::memcpy(claim(n), bytes, n);
  }
  void patch_u8(std::size_t at, std::uint8_t v) { begin_[at] = static_cast<char>(v); }
  void patch_u16(std::size_t at, std::uint16_t v) { store_le16(begin_ + at, v); }
  void patch_u32(std::size_t at, std::uint32_t v) { store_le32(begin_ + at, v); }

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
  unsigned char prefix[4];
  const std::size_t prefix_length = inline_string_prefix(text.size(), prefix);
  if (prefix_length == 0) [[unlikely]] return false;
  // One claim for both parts; the prefix is copied byte by byte rather than
  // by a call, as it is mostly a single byte.
  char* at = out.claim(prefix_length + text.size());
  for (std::size_t i = 0; i < prefix_length; ++i) at[i] = static_cast<char>(prefix[i]);
  if (!text.empty()) std::memcpy(at + prefix_length, text.data(), text.size());
  return true;
}

// Appends an array's header: its definition, its element's definition and
// its item count (which the caller has checked against MAX_ARRAY_ITEMS).
inline void put_array_header(ByteBuffer& out, std::uint16_t self_def_index, std::uint16_t elem_def_index,
                             std::size_t count) {
  char* at = out.claim(6);
  store_le16(at, self_def_index);
  store_le16(at + 2, elem_def_index);
  store_le16(at + 4, static_cast<std::uint16_t>(count));
}

// Appends a reference to dictionary string `position`.
inline void put_str_ref(ByteBuffer& out, std::uint32_t position) {
  out.reserve(5);
  out.put_u8(0xFF);
  out.put_u32(position);
}

// Writes the payload of a document's single chunk while its values are being
// compiled, node by node, exactly as encode_document would write the finished
// tree. A compound node's header is written first and completed by its end_
// call. What the encoder would refuse is recorded (the first such failure, in
// writing order) rather than ending the writing, since the caller's own checks
// come first; see encode_head.
class PayloadWriter {
 public:
  PayloadWriter() = default;
  explicit PayloadWriter(ByteBuffer::Storage* storage) : out_(storage) {}

  void null() {}
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
  void str_ref(std::uint32_t position) { put_str_ref(out_, position); }

  // Returns where the array starts; its items follow, `count` of them.
  std::size_t begin_array(std::size_t count) {
    const std::size_t at = out_.size();
    put_array_header(out_, 0, 0, count);
    if (count > MAX_ARRAY_ITEMS) [[unlikely]] note_failure(at, too_many_array_items_message(count));
    return at;
  }
  // Sets the item count of the array at `at`, for writers that learn it only
  // once the items are written.
  void count_array(std::size_t at, std::size_t count) {
    if (count > MAX_ARRAY_ITEMS) [[unlikely]] {
      note_failure(at, too_many_array_items_message(count));
    }
    out_.patch_u16(at + 4, static_cast<std::uint16_t>(count));
  }
  void end_array(std::size_t at, std::uint16_t self_def_index, std::uint16_t elem_def_index) {
    out_.patch_u16(at, self_def_index);
    out_.patch_u16(at + 2, elem_def_index);
  }
  // Rewrites item `index` of the array at `at`, whose items up to it are all
  // four-byte numbers, as a Float32.
  void rewrite_item_as_float32(std::size_t at, std::size_t index, float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    out_.patch_u32(at + 6 + 4 * index, bits);
  }

  // Item `index` of the array at `at`, whose items up to it are all four-byte numbers.
  std::uint32_t item_bits(std::size_t at, std::size_t index) const {
    return load_le32(out_.data() + at + 6 + 4 * index);
  }

  std::size_t begin_object() {
    const std::size_t at = out_.size();
    out_.put_u16(0);
    return at;
  }
  void end_object(std::size_t at, std::uint16_t self_def_index) { out_.patch_u16(at, self_def_index); }

  void reserve(std::size_t n) { out_.reserve(n); }
  const ByteBuffer& bytes() const { return out_; }
  ByteBuffer take_bytes() && { return std::move(out_); }
  const std::optional<std::string>& failure() const { return failure_; }

 private:
  // The failure the encoder would meet first is the one furthest ahead in
  // the bytes; of two at the same place, the one written first. (An array's
  // count may be checked after its items, but the encoder meets it before.)
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

// Appends everything in front of a single chunk's payload to `out`: header,
// definitions, dictionary, chunk count and chunk header. Followed by the
// payload's bytes, it is what encode_document writes for the document of these
// definitions and dictionary whose one chunk has that payload; it fails with
// the same first failure (the payload's own comes after those of the blocks
// before it). The dictionary's texts may live elsewhere (views).
Status encode_head_into(ByteBuffer& out, const std::vector<VelqDefinition>& definitions,
                        const std::vector<std::string>& dict, std::uint16_t def_index,
                        const PayloadWriter& payload);
Status encode_head_into(ByteBuffer& out, const std::vector<VelqDefinition>& definitions,
                        const std::vector<std::string_view>& dict, std::uint16_t def_index,
                        const PayloadWriter& payload);

// At least the size of what encode_head_into appends.
std::size_t encoded_head_size_bound(const std::vector<VelqDefinition>& definitions,
                                    const std::vector<std::string_view>& dict);

// The same as bytes of their own.
Result<std::string> encode_head(const std::vector<VelqDefinition>& definitions,
                                const std::vector<std::string>& dict, std::uint16_t def_index,
                                const PayloadWriter& payload);

}  // namespace velq
