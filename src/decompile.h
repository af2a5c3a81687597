// The rules that turn decoded values back into JSON-shaped values: dictionary
// references are resolved, objects get their field names back, and what JSON
// cannot hold is refused. The Decompiler is the decoder's sink and hands the
// results to a builder (loads: Python objects), so no tree is made between.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "decode.h"
#include "error.h"
#include "format.h"
#include "structure.h"

namespace velq {

// How the values of an object definition become members: the positions of the fields that give a
// member, in ascending byte order of their names; of fields with the same name only the last.
struct ObjectLayout {
  // Provided, so that a layout made in place is not zero-filled first (the room of `members` with
  // it): layout_object sets what it holds.
  ObjectLayout() {}

  std::span<const VelqField> fields;  // the definition's, in the document read
  boost::container::small_vector<std::uint16_t, 16> members;
  std::size_t id = 0;  // 0, 1, 2, ... in the order one Decompiler first needs them
  // Where its members start when the members of all layouts, in id order, are counted together: a
  // builder that keeps something per member keeps it at once for every layout in one list.
  std::size_t first_member = 0;
};

// Fills `layout` (a new one) for the object definition of these fields.
void layout_object(std::span<const VelqField> fields, std::size_t id, ObjectLayout& layout);

// The rules of decompilation, applied to values as decode_document reads them, in document order.
// What the values become is up to the Builder, which keeps a stack of finished values and provides:
//
//   void begin_document(const VelqDocument&);   // optional: before the first value, to size its tables
//   bool new_layout(const ObjectLayout&);      // optional: each layout as it is made, in id order,
//                                              // before the first object that needs it
//   bool null();  bool boolean(bool);  bool real(double);
//   bool integer(std::int64_t);
//   bool string(std::string_view text, bool ascii);
//   bool dict_string(std::uint32_t index, std::string_view text);  // dict[index], the same text each time
//   bool array(std::size_t count);             // the last `count` values become one array's items
//   bool fixed_array(VelqType item_type, const std::uint8_t* at, std::size_t count);
//                                              // an array of fixed-width items as the file stores them
//   bool object(const ObjectLayout& layout);   // the last layout.fields.size() values, one per field
//
// A builder returns false when it could not build a value; building stops there, but the rules are
// still checked to the end, since a decompilation error takes precedence over a failure to build.
// The first error ends the decompilation; later values are ignored.
template <class Builder>
class Decompiler {
 public:
  explicit Decompiler(Builder& builder) : builder_(builder) {}

  bool failed() const { return failed_; }
  VelqError take_error() { return std::move(*error_); }

  void begin_entries(const VelqDocument& document, std::size_t count) {
    document_ = &document;
    dict_ = &document.dict;
    entries_ = count;
    layout_at_.assign(document.definitions.size(), kNoLayout);
    // Every object definition gets at most one layout; with room for all of
    // them made at once, the layouts never move while frames point at them.
    layouts_.reserve(document.object_definitions);
    if constexpr (requires { builder_.begin_document(document); }) builder_.begin_document(document);
  }

  void end_entries() {
    if (!building_) return;
    if (entries_ == 0) {
      build(builder_.null());
    } else if (entries_ > 1) {
      build(builder_.array(entries_));
    }
  }

  void null() {
    if (building_) build(builder_.null());
  }
  void boolean(bool value) {
    if (building_) build(builder_.boolean(value));
  }
  void int32(std::int32_t value) {
    if (!building_) return;
    build(builder_.integer(value));
  }
  void uint32(std::uint32_t value) {
    if (building_) build(builder_.integer(value));
  }
  void float32(float value) {
    if (failed_) return;
    if (!std::isfinite(value)) [[unlikely]] {
      fail(std::isnan(value) ? "Cannot represent float NaN"
                             : value > 0 ? "Cannot represent float inf" : "Cannot represent float -inf");
      return;
    }
    if (building_) build(builder_.real(static_cast<double>(value)));
  }
  void string(std::string_view text, bool ascii) {
    if (building_) build(builder_.string(text, ascii));
  }
  void str_ref(std::uint32_t index) {
    if (failed_) return;
    if (index >= dict_->size()) [[unlikely]] {
      std::string message = compose_message("StrRef index ", index, " out of bounds");
      if (frames_.empty()) message += compose_message(" (dict len ", dict_->size(), ")");
      fail(std::move(message));
      return;
    }
    if (building_) build(builder_.dict_string(index, (*dict_)[index]));
  }

  void begin_array(std::size_t count) {
    if (!failed_) frames_.push_back({nullptr, count});
  }
  void end_array() {
    if (failed_) return;
    const std::size_t count = frames_.back().count;
    frames_.pop_back();
    if (building_) build(builder_.array(count));
  }
  // Of the fixed-width types only Float32 has a rule to check.
  void fixed_array(VelqType item_type, const std::uint8_t* at, std::size_t count) {
    if (item_type == VelqType::Float32 && !failed_) {
      for (std::size_t i = 0; i < count; ++i) {
        const float value = std::bit_cast<float>(load_le32(at + NUMBER_SIZE * i));
        if (!std::isfinite(value)) [[unlikely]] return float32(value);
      }
    }
    if (building_) build(builder_.fixed_array(item_type, at, count));
  }

  [[gnu::always_inline]] void begin_object(std::uint16_t index, std::size_t count) {
    if (failed_) return;
    const ObjectLayout* layout = find_layout(index);
    if (layout == nullptr) return;
    if (count != layout->fields.size()) [[unlikely]] {
      fail(compose_message("Object #", index, ": expected ", layout->fields.size(), " fields, got ", count));
      return;
    }
    frames_.push_back({layout, count});
  }
  void end_object() {
    if (failed_) return;
    const ObjectLayout& layout = *frames_.back().layout;
    frames_.pop_back();
    if (building_) build(builder_.object(layout));
  }

 private:
  static constexpr std::size_t kNoLayout = static_cast<std::size_t>(-1);

  // An array or object being read.
  struct Frame {
    const ObjectLayout* layout;  // null for an array
    std::size_t count;
  };

  void build(bool built) {
    if (!built) [[unlikely]] building_ = false;
  }

  [[gnu::cold]] void fail(std::string message) {
    error_.emplace(VelqError{std::move(message)});
    failed_ = true;
    building_ = false;
  }

  // The layout of the object definition that `index` designates: made on its first object, and
  // found at once for every other.
  const ObjectLayout* find_layout(std::uint16_t index) {
    if (index < layout_at_.size() && layout_at_[index] != kNoLayout) return &layouts_[layout_at_[index]];
    return make_layout(index);
  }

  // The definition is found by position first; another writer's definitions need not stand at
  // their index, so then the first with that index.
  [[gnu::noinline]] const ObjectLayout* make_layout(std::uint16_t index) {
    std::span<const VelqDefinition> definitions = document_->definitions;
    const VelqDefinition* definition = nullptr;
    if (index < definitions.size() && definitions[index].index == index) {
      definition = &definitions[index];
    } else {
      for (const VelqDefinition& candidate : definitions) {
        if (candidate.index == index) {
          definition = &candidate;
          break;
        }
      }
    }
    if (definition == nullptr) {
      fail(unknown_definition_message(index));
      return nullptr;
    }
    if (!definition->has_fields()) {
      fail(compose_message("Object #", index, ": no field definitions"));
      return nullptr;
    }
    if (index >= layout_at_.size()) layout_at_.resize(index + 1, kNoLayout);
    layout_at_[index] = layouts_.size();
    const std::size_t id = layouts_.size();
    ObjectLayout& layout = layouts_.emplace_back();
    layout_object(document_->fields_of(*definition), id, layout);
    layout.first_member = members_;
    members_ += layout.members.size();
    if constexpr (requires { builder_.new_layout(layout); }) {
      if (building_) build(builder_.new_layout(layout));
    }
    return &layout;
  }

  Builder& builder_;
  const VelqDocument* document_ = nullptr;
  const std::vector<std::string_view>* dict_ = nullptr;
  std::size_t entries_ = 0;
  std::size_t members_ = 0;  // of all layouts made
  bool failed_ = false;
  bool building_ = true;  // false once building failed, and once the decompilation failed
  std::optional<VelqError> error_;  // made by the first failure: a call that succeeds never builds a string
  // Room in place for what a small document needs.
  boost::container::small_vector<Frame, 16> frames_;
  boost::container::small_vector<std::size_t, 32> layout_at_;  // by self_def_index: position in layouts_, or kNoLayout
  boost::container::small_vector<ObjectLayout, 4> layouts_;    // never grown beyond its first room, so frames may point at them
};

}  // namespace velq
