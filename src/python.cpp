// The CPython module `velq`: the five entry functions and their argument
// rules, and the adapters between Python objects and the core: a builder of
// Python objects for the decompiler, and a source of Python objects for the
// value compiler. This is the only file that touches the CPython API;
// everything below it reports failures as VelqError or IoError values, and
// they become Python exceptions here.
//
// Nothing is kept between calls: every call builds its own tables and buffers
// and releases them (and every Python reference it took) before it returns.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "compile.h"
#include "decode.h"
#include "decompile.h"
#include "encode.h"
#include "error.h"
#include "file.h"
#include "format.h"
#include "pages.h"
#include "scan.h"
#include "utf8.h"

namespace velq {
namespace {

// ---------------------------------------------------------------------------
// Small helpers

// An owned (strong) reference, released when it goes out of scope, so that
// every early return and every C++ exception leaves the counts balanced.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* object) : object_(object) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(object_, other.release());
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  static PyRef borrow(PyObject* object) { return PyRef(Py_NewRef(object)); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Levels of C nesting counted against the interpreter's recursion limit while
// Python code runs in the middle of a call: a hook, handler or finalizer that
// calls velq again, and again, then ends in RecursionError before the C stack
// runs out. Released when it goes out of scope.
class RecursionCharge {
 public:
  RecursionCharge() = default;
  RecursionCharge(const RecursionCharge&) = delete;
  RecursionCharge& operator=(const RecursionCharge&) = delete;
  ~RecursionCharge() { lower_to(0); }

  // Raises the charge to `levels`: false, with RecursionError raised, past the limit.
  bool raise_to(std::size_t levels) {
    for (; levels_ < levels; ++levels_) {
      if (Py_EnterRecursiveCall(" in a velq call") != 0) return false;
    }
    return true;
  }
  void lower_to(std::size_t levels) {
    for (; levels_ > levels; --levels_) Py_LeaveRecursiveCall();
  }
  std::size_t levels() const { return levels_; }

 private:
  std::size_t levels_ = 0;
};

// Runs Python's signal handlers (Ctrl-C, a raising SIGALRM handler) and the
// collection the interpreter may have scheduled: false with the handler's
// exception pending. Long calls ask it every so many values (SignalPoll), and
// file access when a system call is interrupted. The call may be as deep as
// its nesting allows meanwhile, and that is charged.
bool python_signals_allow() {
  RecursionCharge charge;
  return charge.raise_to(MAX_DEPTH) && PyErr_CheckSignals() == 0;
}

// ---------------------------------------------------------------------------
// Errors

// Raises ValueError with the error's display text; always returns nullptr.
// An interruption has its exception pending already.
PyObject* to_py_err(const VelqError& error) {
  if (error.interrupted) return nullptr;
  const std::string text = error.display();
  PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

// Raises ValueError "IO error: {display}"; always returns nullptr. An
// interruption has its exception pending already.
PyObject* io_to_py_err(const IoError& error) {
  if (error.interrupted) return nullptr;
  const std::string text = "IO error: " + error.display();
  PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

// TypeError "'{qualname}' object is not an instance of '{target}'", or the
// shorter form for None.
void raise_not_instance(PyObject* object, const char* target) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    return;
  }
  PyRef name(PyType_GetQualName(Py_TYPE(object)));
  if (name && PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), target);
    return;
  }
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object is not an instance of '%s'", target);
}

// Attaches "while processing '{parameter}'" to the pending exception. A failure
// of the note itself is dropped: the original exception matters more.
void add_parameter_note(const char* parameter) {
  PyObject* exception = PyErr_GetRaisedException();
  if (exception == nullptr) return;
  PyRef method(PyUnicode_FromString("add_note"));
  PyRef note(PyUnicode_FromFormat("while processing '%s'", parameter));
  if (method && note) {
    PyObject* call_args[] = {exception, note.get()};
    PyRef result(PyObject_VectorcallMethod(method.get(), call_args, 2, nullptr));
  }
  PyErr_Clear();
  PyErr_SetRaisedException(exception);
}

// Runs an entry function's body and turns any C++ exception into a Python one,
// so that nothing unwinds into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "velq internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "velq internal error");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Argument binding and conversion

struct Signature {
  const char* name;
  const char* const* parameters;
  Py_ssize_t count;
};

std::string quoted_list(const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

// Fills `bound` (borrowed references, one per parameter) from the vectorcall
// arguments, or raises TypeError in the order: too many positional arguments,
// then each keyword in the order given, then missing parameters.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
  if (nargs > signature.count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", signature.name,
                 signature.count, nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < signature.count; ++i) bound[i] = i < nargs ? args[i] : nullptr;

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, keyword);
      return false;
    }
    if (bound[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.name,
                   signature.parameters[slot]);
      return false;
    }
    bound[slot] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < signature.count; ++i) {
    if (bound[i] == nullptr) missing.push_back(signature.parameters[i]);
  }
  if (!missing.empty()) {
    const std::string list = quoted_list(missing);
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional %s: %s", signature.name,
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "argument" : "arguments",
                 list.c_str());
    return false;
  }
  return true;
}

// A str's text as UTF-8, which the str keeps (no copy), followed by a NUL
// byte; false, with the interpreter's error set, when it cannot be encoded (a
// lone surrogate).
bool utf8_of(PyObject* str, std::string_view& text) {
  if (PyUnicode_IS_COMPACT_ASCII(str)) {
    // Its characters are its UTF-8 (what PyUnicode_AsUTF8AndSize returns too).
    text = {static_cast<const char*>(PyUnicode_DATA(str)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
    return true;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  text = {data, static_cast<std::size_t>(size)};
  return true;
}

// A str argument as its UTF-8 bytes (see utf8_of: the NUL byte after them is
// what open() relies on).
bool text_argument(PyObject* argument, const char* parameter, std::string_view& text) {
  if (!PyUnicode_Check(argument)) {
    raise_not_instance(argument, "str");
    add_parameter_note(parameter);
    return false;
  }
  if (!utf8_of(argument, text)) {
    add_parameter_note(parameter);
    return false;
  }
  return true;
}

// A JSON text argument as UTF-8, and the road that compiles it.
struct JsonText {
  std::string_view text;
  // Where a large text's UTF-8 is, when the call made it (see json_text_argument).
  std::unique_ptr<TextPages> pages;
  PyRef owned;

  Status compile(CompiledDocument& compiled) const {
    if (pages) return compile_json_to_velq(*pages, compiled, python_signals_allow);
    return compile_json_to_velq(text, compiled, python_signals_allow);
  }
};

// A large non-ASCII str's UTF-8, encoded a slice at a time into pages of
// the call's own; null when a slice cannot be encoded (a lone surrogate) or
// there is no room, with no error set. A slice's UTF-8 lives as long as the
// slice, which runs no Python code when released.
std::unique_ptr<TextPages> utf8_in_pages(PyObject* str) {
  constexpr Py_ssize_t kSlice = Py_ssize_t{1} << 14;  // characters
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  const unsigned kind = PyUnicode_KIND(str);  // bytes per character
  const std::size_t most_per_character = kind == 1 ? 2 : kind == 2 ? 3 : 4;
  auto pages = std::make_unique<TextPages>(static_cast<std::size_t>(length) * most_per_character);
  if (pages->data() == nullptr) return nullptr;
  std::size_t size = 0;
  for (Py_ssize_t start = 0; start < length; start += kSlice) {
    PyRef slice(PyUnicode_Substring(str, start, std::min(length, start + kSlice)));
    Py_ssize_t bytes = 0;
    const char* utf8 = slice ? PyUnicode_AsUTF8AndSize(slice.get(), &bytes) : nullptr;
    if (utf8 == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    std::memcpy(pages->data() + size, utf8, static_cast<std::size_t>(bytes));
    size += static_cast<std::size_t>(bytes);
  }
  pages->set_size(size);
  return pages;
}

// A JSON text argument as UTF-8. A small text's is the str's own (see
// utf8_of). A large non-ASCII one's is made for the call, in pages that go
// as the text is parsed, so that the text's UTF-8 and the document never
// stand whole side by side: PyUnicode_AsUTF8AndSize would also pass through
// a second copy on its way to the one it keeps, and keep that one in the
// caller's str after the call. When a slice cannot be encoded, the whole
// text is, into a bytes object of the call's: the error is then the
// encoder's own for the whole text.
bool json_text_argument(PyObject* argument, JsonText& json) {
  constexpr Py_ssize_t kOwnCopyFrom = JSON_STREAMED_FROM;  // characters, so at least as many bytes
  if (!PyUnicode_Check(argument) || PyUnicode_IS_COMPACT_ASCII(argument) ||
      PyUnicode_GET_LENGTH(argument) < kOwnCopyFrom) {
    return text_argument(argument, "json_text", json.text);
  }
  json.pages = utf8_in_pages(argument);
  if (json.pages) {
    json.text = json.pages->text();
    return true;
  }
  json.owned = PyRef(PyUnicode_AsUTF8String(argument));
  if (!json.owned) {
    add_parameter_note("json_text");
    return false;
  }
  json.text = {PyBytes_AS_STRING(json.owned.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(json.owned.get()))};
  return true;
}

// A bytes argument's own buffer, used in place.
bool bytes_argument(PyObject* argument, const char* parameter, ByteSpan& bytes) {
  if (!PyBytes_Check(argument)) {
    raise_not_instance(argument, "bytes");
    add_parameter_note(parameter);
    return false;
  }
  bytes = ByteSpan(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(argument)),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(argument)));
  return true;
}

// ---------------------------------------------------------------------------
// Decoded values -> Python objects

// Builds the Python objects of a decoded document as the decompiler hands the
// values over. Finished values wait on `pending_` (owned references) until
// their list or dict is complete: a container is created only when all its
// items exist and is filled without any allocation in between, so no Python
// code (a finalizer run by the garbage collector) can ever see it with empty
// slots. The one exception, a list of fixed-width items, is filled with
// numbers, None and bools, whose making runs no Python code.
//
// Nothing is created twice in one call: a dictionary string becomes one str
// the first time a value refers to it, and a field name one str for every dict
// key of that name (which also keeps its hash cached for the dict inserts).
class PyValueBuilder {
 public:
  PyValueBuilder() = default;
  PyValueBuilder(const PyValueBuilder&) = delete;
  PyValueBuilder& operator=(const PyValueBuilder&) = delete;
  ~PyValueBuilder() {
    drop_pending(0);
    if (pending_ != inline_pending_) PyMem_RawFree(pending_);
    for (PyObject* text : dict_strings_) Py_XDECREF(text);
    for (PyObject* key : keys_) Py_DECREF(key);
  }

  void begin_document(const VelqDocument& document) {
    name_room_ = document.fields.size();
    if (!document.dict.empty()) dict_strings_.resize(document.dict.size(), nullptr);
  }

  bool null() { return push(Py_NewRef(Py_None)); }
  bool boolean(bool value) { return push(Py_NewRef(value ? Py_True : Py_False)); }
  // Inlined by hand: GCC keeps it out of line, a call for every number.
  [[gnu::always_inline]] bool integer(std::int64_t value) {
    return push(PyLong_FromLongLong(static_cast<long long>(value)));
  }
  bool real(double value) { return push(PyFloat_FromDouble(value)); }
  bool string(std::string_view text, bool ascii) { return push(new_str(text, ascii)); }

  bool dict_string(std::uint32_t index, std::string_view text) {
    PyObject*& cached = dict_strings_[index];
    if (cached == nullptr) {
      cached = new_str(text, false);
      if (cached == nullptr) return fail();
    }
    return push(Py_NewRef(cached));
  }

  bool array(std::size_t count) {
    if (!signals_.poll(count + 1)) return fail();
    const std::size_t base = size_ - count;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (list == nullptr) return fail();
    for (std::size_t i = 0; i < count; ++i) {
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pending_[base + i]);
    }
    size_ = base;
    return push(list);
  }

  // A list made and filled in one go: the items need no room on the stack.
  bool fixed_array(VelqType item_type, const std::uint8_t* at, std::size_t count) {
    switch (item_type) {
      case VelqType::Null: return fixed_list(count, [](std::size_t) { return Py_NewRef(Py_None); });
      case VelqType::Bool:
        return fixed_list(count, [at](std::size_t i) { return Py_NewRef(at[i] != 0 ? Py_True : Py_False); });
      case VelqType::Int32:
        return fixed_list(count, [at](std::size_t i) {
          return PyLong_FromLong(static_cast<std::int32_t>(load_le32(at + NUMBER_SIZE * i)));
        });
      case VelqType::UInt32:
        return fixed_list(count,
                          [at](std::size_t i) { return PyLong_FromUnsignedLong(load_le32(at + NUMBER_SIZE * i)); });
      default:
        return fixed_list(count, [at](std::size_t i) {
          return PyFloat_FromDouble(static_cast<double>(std::bit_cast<float>(load_le32(at + NUMBER_SIZE * i))));
        });
    }
  }

  // The keys are made with the layout, so that every object finds them at once.
  bool new_layout(const ObjectLayout& layout) { return make_keys(layout) || fail(); }

  bool object(const ObjectLayout& layout) {
    if (!signals_.poll(layout.fields.size() + 1)) return fail();
    PyObject* const* keys = keys_.data() + layout.first_member;
    const std::size_t base = size_ - layout.fields.size();
    const std::size_t count = layout.members.size();
    PyObject* dict = new_dict(count);
    if (dict == nullptr) return fail();
    for (std::size_t k = 0; k < count; ++k) {
      if (PyDict_SetItem(dict, keys[k], pending_[base + layout.members[k]]) < 0) [[unlikely]] {
        Py_DECREF(dict);
        return fail();
      }
    }
    drop_pending(base);
    return push(dict);
  }

  // The value built (a new reference), or nullptr with the exception that
  // stopped the building raised again.
  PyObject* result() {
    if (error_) {
      PyErr_SetRaisedException(error_.release());
      return nullptr;
    }
    return pending_[--size_];
  }

 private:
  [[gnu::always_inline]] bool push(PyObject* object) {
    if (object == nullptr) [[unlikely]] return fail();
    if (size_ == capacity_) [[unlikely]] return push_growing(object);
    pending_[size_++] = object;
    return true;
  }

  [[gnu::noinline]] bool push_growing(PyObject* object) {
    const std::size_t capacity = 4 * capacity_;
    void* grown = pending_ == inline_pending_ ? PyMem_RawMalloc(capacity * sizeof(PyObject*))
                                              : PyMem_RawRealloc(pending_, capacity * sizeof(PyObject*));
    if (grown == nullptr) {
      Py_DECREF(object);
      PyErr_NoMemory();
      return fail();
    }
    if (pending_ == inline_pending_) std::memcpy(grown, inline_pending_, sizeof inline_pending_);
    pending_ = static_cast<PyObject**>(grown);
    capacity_ = capacity;
    pending_[size_++] = object;
    return true;
  }

  template <class MakeItem>
  bool fixed_list(std::size_t count, MakeItem make_item) {
    if (!signals_.poll(count + 1)) return fail();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return fail();
    for (std::size_t i = 0; i < count; ++i) {
      PyObject* item = make_item(i);
      if (item == nullptr) return fail();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return push(list.release());
  }

  // Takes the pending exception for result() and gives up building.
  bool fail() {
    error_ = PyRef(PyErr_GetRaisedException());
    drop_pending(0);
    return false;
  }

  void drop_pending(std::size_t base) {
    for (std::size_t i = base; i < size_; ++i) Py_DECREF(pending_[i]);
    size_ = base;
  }

  // An empty dict for `count` members. Every dict gets room for five on its
  // first insert; asking for that size only adds a call, so only larger dicts
  // are made at their final size.
  static PyObject* new_dict(std::size_t count) {
    constexpr std::size_t kFirstRoom = 5;
    return count <= kFirstRoom ? PyDict_New() : _PyDict_NewPresized(static_cast<Py_ssize_t>(count));
  }

  // A str from well-formed UTF-8 (the decoder has checked every string).
  // ASCII text of two bytes or more is copied straight into a new str; the
  // interpreter's own caches serve shorter text. Short text not known to be
  // ASCII is tested on the spot, which costs less than measuring it. Inlined
  // by hand, into the few places that make strs: as a call it costs a tenth
  // of the str it makes.
  [[gnu::always_inline]] static PyObject* new_str(std::string_view text, bool ascii) {
    const std::size_t size = text.size();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    if (!ascii && size <= SHORT_TEXT_MAX) ascii = short_text_is_ascii(bytes, size);
    if (!ascii) return decode_valid_utf8(bytes, size);
    // One byte of valid UTF-8 is ASCII: the interpreter's one-character str.
    if (size == 1) return PyUnicode_FromOrdinal(bytes[0]);
    if (size == 0) return PyUnicode_DecodeUTF8(text.data(), 0, nullptr);
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (str != nullptr) copy_bytes(PyUnicode_DATA(str), text.data(), size);
    return str;
  }

  // Valid UTF-8 needs no checks: its largest byte tells the widest character,
  // and every byte but a continuation byte (10xxxxxx) starts one. So the str
  // is made at its final size and kind, and filled in one pass.
  static PyObject* decode_valid_utf8(const std::uint8_t* text, std::size_t size) {
    std::uint8_t top;
    std::size_t continuations;
    measure_utf8(text, size, top, continuations);
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(size - continuations), widest_character(top));
    if (str == nullptr) return nullptr;
    if (top < 0x80) {
      std::memcpy(PyUnicode_DATA(str), text, size);
      return str;
    }
    switch (PyUnicode_KIND(str)) {
      case PyUnicode_1BYTE_KIND: transcode_utf8(text, size, PyUnicode_1BYTE_DATA(str)); break;
      case PyUnicode_2BYTE_KIND: transcode_utf8(text, size, PyUnicode_2BYTE_DATA(str)); break;
      default: transcode_utf8(text, size, PyUnicode_4BYTE_DATA(str)); break;
    }
    return str;
  }

  // Makes the keys of a new layout's members, in member order, at the end of
  // keys_, where layout.first_member finds them; false with an exception
  // pending.
  [[gnu::noinline]] bool make_keys(const ObjectLayout& layout) {
    // The first layout's names are made as they are; once a second layout
    // needs keys, names are looked up, so that one name is one str.
    if (first_layout_ == nullptr) {
      first_layout_ = &layout;
      for (std::uint16_t field : layout.members) {
        const VelqField& named = layout.fields[field];
        PyObject* name = new_str(named.name, named.ascii);
        if (name == nullptr) return false;
        keys_.push_back(name);
      }
    } else {
      if (!names_) remember_first_names();
      for (std::uint16_t field : layout.members) {
        const VelqField& named = layout.fields[field];
        // One hash of the name whether it is new or not.
        auto [slot, fresh] = names_->try_emplace(named.name, nullptr);
        if (fresh) {
          PyObject* name = new_str(named.name, named.ascii);
          if (name == nullptr) {
            names_->erase(slot);
            return false;
          }
          slot->second = name;
          keys_.push_back(name);
        } else {
          keys_.push_back(Py_NewRef(slot->second));
        }
      }
    }
    return true;
  }

  // Makes the table of names, with those of the first layout, whose keys lead keys_.
  void remember_first_names() {
    const ObjectLayout& layout = *first_layout_;
    // Room for every name the document could hold, so that the table is not
    // rebuilt as it fills.
    names_.emplace().reserve(std::min<std::size_t>(name_room_, 4096));
    for (std::size_t k = 0; k < layout.members.size(); ++k) {
      names_->emplace(layout.fields[layout.members[k]].name, keys_[k]);
    }
  }

  // Finished values not yet in their list or dict (owned references).
  // Room on the stack first: a small document needs no more.
  PyObject* inline_pending_[64];
  PyObject** pending_ = inline_pending_;
  std::size_t size_ = 0;
  std::size_t capacity_ = std::size(inline_pending_);
  PyRef error_;
  SignalPoll signals_{python_signals_allow};
  // Room in place for what a small document needs.
  boost::container::small_vector<PyObject*, 16> dict_strings_;  // by dictionary position (all of it), created on first use
  // The dict keys of every layout (owned references), each layout's together
  // and in member order, from ObjectLayout::first_member on.
  boost::container::small_vector<PyObject*, 32> keys_;
  const ObjectLayout* first_layout_ = nullptr;  // the decompiler's, alive for the whole call
  std::size_t name_room_ = 0;                   // the fields of all object definitions
  // Borrowed references to the keys above, by text, made and filled from the
  // second layout on (a document of one object definition never pays for
  // the table); the texts point into the bytes read, which outlive the
  // builder's use of them.
  std::optional<boost::unordered_flat_map<std::string_view, PyObject*, QuickTextHash>> names_;
};

// ---------------------------------------------------------------------------
// Python objects as the value compiler's source (emit)

// A conversion test (integer, float, NumPy boolean) that fails with a
// TypeError (no such conversion, or one of the wrong type) or an
// OverflowError (out of range) means "not this kind": the error is dropped and
// the next test decides. Any other exception ends the call as it is. Returns
// whether the error was dropped.
bool drop_not_this_kind() {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
  PyErr_Clear();
  return true;
}

// The str test and the recognition of NumPy's boolean type are looser: an
// ordinary failure (a str that cannot be encoded) means No; a MemoryError, or
// an exception that is not an Exception (KeyboardInterrupt, SystemExit), ends
// the call.
bool drop_ordinary_error() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

// Hands Python objects to the value compiler (compile.h), which holds the
// rules: this class only says what an object is, in the order of the type
// tests (dict, list, str, bool and NumPy's bool, integer, float), walks lists
// and dicts, and raises the Python errors. Every function returns false with
// a Python exception pending.
class PySource {
 public:
  using Node = PyObject*;

  PySource() = default;
  PySource(const PySource&) = delete;
  PySource& operator=(const PySource&) = delete;
  ~PySource() {
    for (PyObject* text : kept_) Py_DECREF(text);
  }

  // The exact built-in types come first: for them the outcome of the tests is
  // known, so each is settled by one comparison of its type.
  bool classify(PyObject* object, SourceValue& value) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyUnicode_Type) {
      if (text(object, value)) return true;
      return drop_ordinary_error() && classify_other(object, value);
    }
    if (type == &PyLong_Type) {
      const auto* number = reinterpret_cast<const PyLongObject*>(object);
      value.type = VelqType::Int32;
      if (PyUnstable_Long_IsCompact(number)) {
        // A compact integer has at most one digit of 30 bits: it fits Int32 as is.
        value.integer = PyUnstable_Long_CompactValue(number);
        return true;
      }
      // What the generic test would find for an exact int that fits a long,
      // without its detour; one that does not fit takes the generic way, to
      // fail there as it always has.
      int overflow = 0;
      value.integer = PyLong_AsLongAndOverflow(object, &overflow);
      if (overflow == 0) return true;
      return classify_other(object, value);
    }
    if (type == &PyFloat_Type) {
      value.type = VelqType::Float32;
      value.number = static_cast<float>(PyFloat_AS_DOUBLE(object));
      return true;
    }
    if (type == &PyDict_Type) {
      value.type = VelqType::Object;
      value.size = 2 * static_cast<std::size_t>(PyDict_GET_SIZE(object));
      return true;
    }
    if (type == &PyList_Type) {
      value.type = VelqType::Array;
      value.size = static_cast<std::size_t>(PyList_GET_SIZE(object));
      return true;
    }
    if (type == &PyBool_Type) {
      value.type = VelqType::Bool;
      value.boolean = object == Py_True;
      return true;
    }
    return classify_other(object, value);
  }

  // Python code may run at each signal poll (a handler, or the collection
  // the poll runs), inside a conversion hook, and wherever a reference is
  // dropped (a finalizer); it may change or free anything. So no size read
  // and no borrowed item is trusted across those points: the size is read
  // again after each, and an item whose compiling may run Python code is held
  // (by a PyRef, which C++ exceptions release too). Before such code runs, the
  // levels being walked are charged against the recursion limit
  // (charge_python_code), since that code may emit again.
  //
  // Items appended meanwhile are not visited; a list that shrinks ends early.
  template <class Visit>
  bool for_each_item(PyObject* list, std::size_t level, Visit&& visit) {
    if (level % kLevelsPerStackCheck == 0 && !stack_has_room()) return false;
    level_ = level;
    const Py_ssize_t recorded = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < recorded; ++i) {
      // Counted by the block of items, which costs less than by the item.
      if (i % kItemsPerPoll == 0 && signals_.due(kItemsPerPoll) && !run_signal_handlers()) return false;
      if (i >= PyList_GET_SIZE(list)) break;
      PyObject* item = PyList_GET_ITEM(list, i);
      const PyRef held(runs_no_python(item) ? nullptr : Py_NewRef(item));
      if (!visit(item)) return false;
      if (held && !left_held(item, level)) return false;
    }
    return true;
  }

  // Each key, as a string value, then its value.
  template <class Key, class Visit>
  bool for_each_member(PyObject* dict, std::size_t level, Key&& key_value, Visit&& visit) {
    if (level % kLevelsPerStackCheck == 0 && !stack_has_room()) return false;
    level_ = level;
    const Py_ssize_t recorded = PyDict_GET_SIZE(dict);
    Py_ssize_t position = 0;
    Py_ssize_t fetched = 0;
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    for (;;) {
      if (signals_.due() && !run_signal_handlers()) return false;
      // Checked after the poll: the dict may have changed at any point above.
      if (PyDict_GET_SIZE(dict) != recorded) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return false;
      }
      if (!PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) return true;
      if (++fetched > recorded) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return false;
      }
      if (!PyUnicode_Check(borrowed_key)) {
        raise_not_instance(borrowed_key, "str");
        return false;
      }
      // Held for the whole entry (the path to the value views the key's text).
      const bool held = !runs_no_python(borrowed_value);
      const PyRef held_key(held ? Py_NewRef(borrowed_key) : nullptr);
      const PyRef held_value(held ? Py_NewRef(borrowed_value) : nullptr);
      SourceValue key_text;
      if (!text(borrowed_key, key_text)) return false;  // a key's UnicodeEncodeError stands
      key_value(borrowed_key, key_text);
      if (!visit(borrowed_value)) return false;
      if (held && !(left_held(borrowed_key, level) && left_held(borrowed_value, level))) return false;
    }
  }

  // Whether compiling the object runs no Python code: an exact str, int or
  // float, whose tests and conversions are the interpreter's own. Nothing can
  // drop such an object meanwhile, so it needs no reference of its own.
  static bool runs_no_python(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type;
  }

  // A str's UTF-8 lives as long as the str: the dictionary keeps the object.
  std::string_view keep(PyObject* object, const HashedText& text) {
    if (kept_.size() == kept_.capacity()) kept_.reserve(2 * kept_.size());  // moved about once in all
    kept_.push_back(Py_NewRef(object));
    return text.text;
  }

 private:
  enum class Found { Yes, No, Failed };

  // Called before Python code may run: the levels being walked are charged
  // (and no more: a level left since is no longer charged). False, with
  // RecursionError raised, past the limit.
  [[gnu::noinline]] bool charge_python_code() {
    charge_.lower_to(level_);
    return charge_.raise_to(level_);
  }

  // Interpreters that measure the C stack (3.14 on) tell an overflow close
  // ahead from one too far gone to recover by a margin of some kilobytes: a
  // re-entered walk asks every few levels, so that it never nests past that
  // margin unasked. False, with RecursionError raised, when the stack is
  // nearly used up (or, on older interpreters, the recursion limit reached).
  [[gnu::cold]] static bool stack_has_room() {
    if (Py_EnterRecursiveCall(" in a velq call") != 0) return false;
    Py_LeaveRecursiveCall();
    return true;
  }

  // Python's signal handlers, charged for the levels being walked.
  [[gnu::noinline, gnu::cold]] bool run_signal_handlers() {
    return charge_python_code() && PyErr_CheckSignals() == 0;
  }

  // After an object held while it was compiled at `level`, whose compiling
  // may have walked deeper: dropping the walk's reference may free it, which
  // runs its finalizer (and those of what it holds).
  [[gnu::always_inline]] bool left_held(PyObject* object, std::size_t level) {
    level_ = level;
    return Py_REFCNT(object) != 1 || charge_python_code();
  }

  // A str as its UTF-8 text, with the hash the str caches (str's own, even for
  // a subclass that overrides __hash__: no Python code runs for a string).
  // False when the text cannot be encoded (a lone surrogate).
  static bool text(PyObject* object, SourceValue& value) {
    std::string_view utf8;
    if (!utf8_of(object, utf8)) return false;
    Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(object)->hash;
    if (hash == -1) hash = PyUnicode_Type.tp_hash(object);
    value.type = VelqType::String;
    value.text = {utf8, static_cast<std::size_t>(hash)};
    return true;
  }

  // Every object, in the order of the type tests. Their conversions may run
  // Python code.
  bool classify_other(PyObject* object, SourceValue& value) {
    if (!charge_python_code()) return false;
    PyTypeObject* type = Py_TYPE(object);
    if (PyType_HasFeature(type, Py_TPFLAGS_DICT_SUBCLASS)) {
      value.type = VelqType::Object;
      value.size = 2 * static_cast<std::size_t>(PyDict_GET_SIZE(object));
      return true;
    }
    if (PyType_HasFeature(type, Py_TPFLAGS_LIST_SUBCLASS)) {
      value.type = VelqType::Array;
      value.size = static_cast<std::size_t>(PyList_GET_SIZE(object));
      return true;
    }
    if (PyType_HasFeature(type, Py_TPFLAGS_UNICODE_SUBCLASS)) {
      if (text(object, value)) return true;
      if (!drop_ordinary_error()) return false;
    }
    if (object == Py_True || object == Py_False) {
      value.type = VelqType::Bool;
      value.boolean = object == Py_True;
      return true;
    }
    const bool exact_int = PyLong_CheckExact(object);
    const bool exact_float = PyFloat_CheckExact(object);
    if (!exact_int && !exact_float) {
      const Found found = numpy_bool_value(object, value);
      if (found != Found::No) return found == Found::Yes;
    }
    if (!exact_float) {
      const long integer = PyLong_AsLong(object);
      if (integer != -1 || !PyErr_Occurred()) {
        value.type = VelqType::Int32;
        value.integer = integer;
        return true;
      }
      if (!drop_not_this_kind()) return false;
    }
    double number = 0;
    if (exact_float) {
      number = PyFloat_AS_DOUBLE(object);
    } else {
      number = PyFloat_AsDouble(object);
      if (number == -1.0 && PyErr_Occurred()) return drop_not_this_kind() && raise_unsupported(object);
    }
    value.type = VelqType::Float32;
    value.number = static_cast<float>(number);
    return true;
  }

  // A NumPy boolean scalar, recognised by its type's module and name; its truth
  // comes from the type's bool slot.
  static Found numpy_bool_value(PyObject* object, SourceValue& value) {
    PyTypeObject* type = Py_TYPE(object);
    if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) return Found::No;
    PyRef name(PyType_GetName(type));
    if (!name) return drop_ordinary_error() ? Found::No : Found::Failed;
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
      return Found::No;
    }
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) return drop_ordinary_error() ? Found::No : Found::Failed;
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
      return Found::No;
    }
    const int truth = type->tp_as_number->nb_bool(object);
    if (truth < 0) return drop_not_this_kind() ? Found::No : Found::Failed;
    value.type = VelqType::Bool;
    value.boolean = truth != 0;
    return Found::Yes;
  }

  static bool raise_unsupported(PyObject* object) {
    PyRef name(PyType_GetName(Py_TYPE(object)));
    if (name) {
      PyErr_Format(PyExc_TypeError, "Unsupported Python type: %R", name.get());
    } else {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "Unsupported Python type: <failed to extract type name>");
    }
    return false;
  }

  static constexpr Py_ssize_t kItemsPerPoll = 64;
  static constexpr std::size_t kLevelsPerStackCheck = 8;

  // Strings listed in the dictionary, whose UTF-8 the document refers to.
  boost::container::small_vector<PyObject*, 32> kept_;
  SignalPoll signals_{nullptr};  // counts the values; run_signal_handlers when due
  std::size_t level_ = 0;        // how deep the list or dict being walked is nested
  RecursionCharge charge_;       // levels charged against the recursion limit
};

// The size of a value's payload, guessed from a sample of it, so that the
// payload seldom has to grow (which may copy all of it): a list from three of
// its items, a dict from up to eight of its members, each scaled to the
// whole, and no more than a few hundred values looked at in all (beyond them,
// four bytes a value). Only the sizes of lists, dicts and strs are read: no
// Python code runs.
class PayloadGuess {
 public:
  // A str by its length, a number as four bytes.
  [[gnu::always_inline]] std::size_t of(PyObject* value) {
    const unsigned long flags = Py_TYPE(value)->tp_flags;
    if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return 1 + static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
    if (flags & Py_TPFLAGS_LIST_SUBCLASS) return std::min(ARRAY_HEADER_SIZE + list(value), kMaxGuess);
    if (flags & Py_TPFLAGS_DICT_SUBCLASS) return std::min(OBJECT_HEADER_SIZE + dict(value), kMaxGuess);
    return NUMBER_SIZE;
  }

 private:
  // Beyond this the payload grows as it needs: a list that holds one large
  // value several times over may be guessed at far more than it makes.
  static constexpr std::size_t kMaxGuess = std::size_t{1} << 24;
  static constexpr std::size_t kMaxVisits = 256;
  static constexpr std::size_t kDictSample = 8;

  // The sum of a sample of `sample` values out of `size`, scaled to all of them.
  static std::size_t scaled(std::size_t sum, std::size_t sample, std::size_t size) {
    if (sample == size) return sum;
    return static_cast<std::size_t>(static_cast<double>(sum) / static_cast<double>(sample) * static_cast<double>(size));
  }

  // A short list item by item; a longer one as its middle-sized item of
  // the first, middle and last, times its length (sizes of items vary widely,
  // and guessing far too much costs more than guessing a little too little).
  std::size_t list(PyObject* list) {
    const auto size = static_cast<std::size_t>(PyList_GET_SIZE(list));
    if (size == 0) return 0;
    if (visits_ >= kMaxVisits) return NUMBER_SIZE * size;
    const auto item = [list](std::size_t index) { return PyList_GET_ITEM(list, static_cast<Py_ssize_t>(index)); };
    if (size <= 3) {
      visits_ += size;
      std::size_t sum = 0;
      for (std::size_t k = 0; k < size; ++k) sum += of(item(k));
      return sum;
    }
    visits_ += 3;
    const std::size_t first = of(item(0));
    const std::size_t middle = of(item(size / 2));
    const std::size_t last = of(item(size - 1));
    return std::max(std::min(first, middle), std::min(std::max(first, middle), last)) * size;
  }

  std::size_t dict(PyObject* dict) {
    const auto size = static_cast<std::size_t>(PyDict_GET_SIZE(dict));
    if (visits_ >= kMaxVisits) return 2 * NUMBER_SIZE * size;
    const std::size_t sample = std::min(size, kDictSample);
    visits_ += 2 * sample;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    std::size_t sum = 0;
    for (std::size_t k = 0; k < sample && PyDict_Next(dict, &position, &key, &value); ++k) sum += of(key) + of(value);
    return sample == 0 ? 0 : scaled(sum, sample, size);
  }

  std::size_t visits_ = 0;
};

std::size_t payload_guess(PyObject* object) { return PayloadGuess().of(object); }

// ---------------------------------------------------------------------------
// From converted arguments to results

// A bytes object that the payload is written into while it is compiled, and
// that becomes the result once the blocks in front are put there (see
// encode_document): the payload is seldom copied to a second buffer.
class BytesObjectStorage final : public ByteBuffer::Storage {
 public:
  BytesObjectStorage() : Storage(first_) {}
  // For emit's payload: once it outgrows the stack, its block is made as
  // large as `value` is guessed to need, so that it seldom grows again; a
  // small value never pays for the guess.
  explicit BytesObjectStorage(PyObject* value) : Storage(first_), guess_from_(value) {}
  BytesObjectStorage(const BytesObjectStorage&) = delete;
  BytesObjectStorage& operator=(const BytesObjectStorage&) = delete;
  ~BytesObjectStorage() { Py_XDECREF(bytes_); }

  // Small documents are written on the stack and become a bytes object of
  // their exact size at the end, so that they cost one allocation.
  char* resize(std::size_t& capacity) override {
    if (bytes_ == nullptr && capacity <= sizeof first_) return first_;
    if (bytes_ == nullptr) {
      if (guess_from_ != nullptr) capacity = std::max(capacity, expected_payload_size(payload_guess(guess_from_)));
      bytes_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
      if (bytes_ != nullptr) std::memcpy(PyBytes_AS_STRING(bytes_), first_, sizeof first_);
    } else if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(capacity)) != 0) {
      bytes_ = nullptr;  // released by _PyBytes_Resize
    }
    if (bytes_ == nullptr) throw std::bad_alloc();
    return PyBytes_AS_STRING(bytes_);
  }

  // The result, cut to the size of what was written into it.
  PyObject* finish(std::size_t size) {
    if (bytes_ == nullptr) return PyBytes_FromStringAndSize(first_, static_cast<Py_ssize_t>(size));
    if (static_cast<std::size_t>(PyBytes_GET_SIZE(bytes_)) != size) {
      std::size_t exact = size;
      resize(exact);
    }
    return std::exchange(bytes_, nullptr);
  }

 private:
  char first_[2048];
  PyObject* bytes_ = nullptr;
  PyObject* guess_from_ = nullptr;  // borrowed: the value being emitted
};

// The decoder hands each value to the decompiler as it reads it, and the
// decompiler to the builder, so no intermediate tree is made. The errors come
// as if the three ran one after the other: a decoding error before any
// decompiling error, and either before a failure to build.
PyObject* decode_to_py(ByteSpan bytes) {
  PyValueBuilder builder;
  Decompiler<PyValueBuilder> decompiler(builder);
  if (Status decoded = decode_document(bytes, decompiler); !decoded) return to_py_err(decoded.error());
  if (decompiler.failed()) return to_py_err(decompiler.take_error());
  return builder.result();
}

// A compiled document as a bytes object: the payload was written into
// `payload_storage`, and the whole document ends there or in a new object.
PyObject* document_bytes(CompiledDocument& compiled, BytesObjectStorage& payload_storage) {
  BytesObjectStorage fresh_storage;
  ByteBuffer fresh(&fresh_storage);
  auto document = encode_document(compiled.front(), compiled.payload, fresh);
  if (!document) return to_py_err(document.error());
  const std::size_t size = document.value()->size();
  return document.value() == &fresh ? fresh_storage.finish(size) : payload_storage.finish(size);
}

// The object compiled in one pass, straight into the bytes object returned.
PyObject* emit_bytes(PyObject* object) {
  PySource source;
  BytesObjectStorage storage(object);
  CompiledDocument compiled(&storage);
  if (Status status = compile_value_to_velq(source, object, compiled); !status) return to_py_err(status.error());
  return document_bytes(compiled, storage);
}

// ---------------------------------------------------------------------------
// Entry functions. With METH_STATIC the interpreter passes no self.

constexpr const char* kJsonTextParameters[] = {"json_text"};
constexpr const char* kBytesParameters[] = {"bytes"};
constexpr const char* kDumpParameters[] = {"json_text", "path"};
constexpr const char* kPathParameters[] = {"path"};
constexpr const char* kObjParameters[] = {"obj"};

constexpr Signature kDumps{"dumps", kJsonTextParameters, 1};
constexpr Signature kLoads{"loads", kBytesParameters, 1};
constexpr Signature kDump{"dump", kDumpParameters, 2};
constexpr Signature kLoad{"load", kPathParameters, 1};
constexpr Signature kEmit{"emit", kObjParameters, 1};

PyObject* velq_dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_arguments(kDumps, args, nargs, kwnames, bound)) return nullptr;
    JsonText json;
    if (!json_text_argument(bound[0], json)) return nullptr;
    BytesObjectStorage storage;
    CompiledDocument compiled(&storage);
    if (Status status = json.compile(compiled); !status) {
      return to_py_err(status.error());
    }
    return document_bytes(compiled, storage);
  });
}

PyObject* velq_loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_arguments(kLoads, args, nargs, kwnames, bound)) return nullptr;
    ByteSpan bytes;
    if (!bytes_argument(bound[0], "bytes", bytes)) return nullptr;
    return decode_to_py(bytes);
  });
}

PyObject* velq_dump(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_arguments(kDump, args, nargs, kwnames, bound)) return nullptr;
    JsonText json;
    std::string_view path;
    if (!json_text_argument(bound[0], json)) return nullptr;
    if (!text_argument(bound[1], "path", path)) return nullptr;
    // The file is touched only once the bytes exist.
    CompiledDocument compiled;
    if (Status status = json.compile(compiled); !status) {
      return to_py_err(status.error());
    }
    const PayloadWriter& payload = compiled.payload;
    ByteBuffer front;
    if (Status written = encode_front(front, compiled.front(), payload); !written) {
      return to_py_err(written.error());
    }
    if (auto failure = write_file(path, front.view(), payload.bytes().view(), python_signals_allow); !failure) {
      return io_to_py_err(failure.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* velq_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_arguments(kLoad, args, nargs, kwnames, bound)) return nullptr;
    std::string_view path;
    if (!text_argument(bound[0], "path", path)) return nullptr;
    auto content = read_file(path, python_signals_allow);
    if (!content) return io_to_py_err(content.error());
    const FileContent& file = content.value();
    return decode_to_py(ByteSpan(file.data.get(), file.size));
  });
}

PyObject* velq_emit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_arguments(kEmit, args, nargs, kwnames, bound)) return nullptr;
    return emit_bytes(bound[0]);
  });
}

// ---------------------------------------------------------------------------
// Module definition

constexpr int kMethodFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

template <PyObject* (*Function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Function));
}

// Method definitions must outlive every function object made from them.
PyMethodDef velq_methods[] = {
    {"dumps", as_cfunction<velq_dumps>(), kMethodFlags,
     "dumps(json_text)\n--\n\nCompile a JSON string to VELQ binary bytes."},
    {"loads", as_cfunction<velq_loads>(), kMethodFlags,
     "loads(bytes)\n--\n\nDecompile VELQ binary bytes to a Python object."},
    {"dump", as_cfunction<velq_dump>(), kMethodFlags,
     "dump(json_text, path)\n--\n\nCompile JSON string and write VELQ binary to a file."},
    {"load", as_cfunction<velq_load>(), kMethodFlags,
     "load(path)\n--\n\nRead a VELQ file and decompile to a Python object."},
    {"emit", as_cfunction<velq_emit>(), kMethodFlags,
     "emit(obj)\n--\n\nEmit a Python value as VELQ binary (no JSON string)."},
};

// Adds the function to the module and its name to __all__ (created on first use).
int add_function(PyObject* module, PyObject* module_name, PyMethodDef* method) {
  PyRef function(PyCMethod_New(method, module, module_name, nullptr));
  if (!function) return -1;
  PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return -1;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all) return -1;
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (PyList_Check(all.get())) {
    if (PyList_Append(all.get(), name.get()) < 0) return -1;
  } else {
    PyRef append(PyUnicode_FromString("append"));
    if (!append) return -1;
    PyRef result(PyObject_CallMethodOneArg(all.get(), append.get(), name.get()));
    if (!result) return -1;
  }
  return PyObject_SetAttr(module, name.get(), function.get());
}

// The road JSON text is scanned on: the best this CPU offers, unless the
// environment variable VELQ_SCAN names another (tests run the scalar road
// this way). The module's _scan_road tells which one runs.
int choose_scan_road(PyObject* module) {
  if (const char* wanted = std::getenv("VELQ_SCAN"); wanted != nullptr && *wanted != '\0') {
    ScanRoad road;
    if (!scan_road_named(wanted, road) || !set_scan_road(road)) {
      PyErr_Format(PyExc_ImportError, "VELQ_SCAN=%s: this CPU has no such road", wanted);
      return -1;
    }
  }
  const std::string_view name = scan_road_name(scan_road());
  PyRef text(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (!text) return -1;
  return PyObject_SetAttrString(module, "_scan_road", text.get());
}

int velq_exec(PyObject* module) {
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& method : velq_methods) {
    if (add_function(module, module_name.get(), &method) < 0) return -1;
  }
  return choose_scan_road(module);
}

PyModuleDef_Slot velq_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(velq_exec)},
    {0, nullptr},
};

PyModuleDef velq_module = {
    PyModuleDef_HEAD_INIT,
    "velq",
    "",
    0,
    nullptr,
    velq_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velq

PyMODINIT_FUNC PyInit_velq(void) { return PyModuleDef_Init(&velq::velq_module); }
