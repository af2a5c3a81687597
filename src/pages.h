// Memory for a large text that a call makes for itself (the UTF-8 of a
// Python str), in pages of its own that go back to the system once what they
// hold has been read: a text parsed from front to back then never holds its
// whole size in memory beside what is made of it.
#pragma once

#include <cstddef>
#include <string_view>

namespace velq {

class TextPages {
 public:
  // Room for `capacity` bytes; data() is null when the system has none.
  // Pages go back `release_step` bytes at a time.
  explicit TextPages(std::size_t capacity, std::size_t release_step = std::size_t{1} << 20);
  TextPages(const TextPages&) = delete;
  TextPages& operator=(const TextPages&) = delete;
  ~TextPages();

  char* data() { return data_; }
  // The text: the first `size` bytes written.
  void set_size(std::size_t size) { size_ = size; }
  std::string_view text() const { return {data_, size_}; }

  std::size_t release_step() const { return release_step_; }
  // Gives back the whole pages before `offset`. Nothing may read them again:
  // they read as zero bytes if it does (or as they were, where pages cannot
  // be given back).
  void release_before(std::size_t offset);

 private:
  char* data_ = nullptr;
  std::size_t mapped_ = 0;
  std::size_t size_ = 0;
  std::size_t released_ = 0;
  const std::size_t release_step_;
};

}  // namespace velq
