#include "pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

namespace velq {
namespace {

std::size_t page_size() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

}  // namespace

// Mapped rather than allocated: the pages are the call's alone, so that
// giving them back cannot touch what an allocator keeps beside them. Pages
// that are never written (the room beyond a text shorter than the most it
// could be) take no memory. An empty text still gets a page.
TextPages::TextPages(std::size_t capacity, std::size_t release_step) : release_step_(release_step) {
  const std::size_t page = page_size();
  const std::size_t mapped = (std::max<std::size_t>(capacity, 1) + page - 1) / page * page;
  void* at = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (at == MAP_FAILED) return;
  data_ = static_cast<char*>(at);
  mapped_ = mapped;
}

TextPages::~TextPages() {
  if (data_ != nullptr) munmap(data_, mapped_);
}

void TextPages::release_before(std::size_t offset) {
  const std::size_t page = page_size();
  const std::size_t end = offset / page * page;
  if (data_ == nullptr || end <= released_) return;
  // Private anonymous pages given back read as zeros if touched again; a
  // failure leaves them as they were, which only costs memory.
  madvise(data_ + released_, end - released_, MADV_DONTNEED);
  released_ = end;
}

}  // namespace velq
