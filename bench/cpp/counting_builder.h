// A builder for the decompiler that counts the values it is handed, standing
// in for the Python objects that loads would build from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "decompile.h"

struct CountingBuilder {
  std::uint64_t values = 0;

  bool take(std::uint64_t n = 1) {
    values += n;
    return true;
  }
  bool null() { return take(); }
  bool boolean(bool) { return take(); }
  bool real(double) { return take(); }
  bool integer(std::int64_t) { return take(); }
  bool string(std::string_view, bool) { return take(); }
  bool dict_string(std::uint32_t, std::string_view) { return take(); }
  bool array(std::size_t) { return take(); }
  // The array and each of its items.
  bool fixed_array(velq::VelqType, const std::uint8_t*, std::size_t count) { return take(count + 1); }
  bool object(const velq::ObjectLayout&) { return take(); }
};
