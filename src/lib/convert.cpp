#include "convert.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include <unistd.h>

#include "faults.hpp"
#include "once.hpp"
#include "signal_checks.hpp"

namespace velunq::py {

namespace {

// ---- failures -----------------------------------------------------------

[[noreturn]] void raise_type_error(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  throw PyErrorPending{};
}

ProcessOnce sequence_abc;

// collections.abc.Sequence, the target named when a value is not a sequence.
PyObject* sequence_type() {
  return sequence_abc.get([] {
    const OwnedRef module = OwnedRef::steal(PyImport_ImportModule("collections.abc"));
    OwnedRef type = OwnedRef::steal(module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr);
    if (!type || !PyType_Check(type.get())) {
      // What the import raised, if anything, stays set: the panic keeps it
      // as its context.
      throw InternalFault("failed to import collections.abc.Sequence");
    }
    return type.release();
  });
}

// Memory the kernel says it can still hand out, in bytes: what is available
// in memory, and free swap, before it would have to kill a process.
double available_memory() {
  if (std::FILE* info = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long available = 0;
    unsigned long long swap = 0;
    while (std::fgets(line, sizeof line, info)) {
      std::sscanf(line, "MemAvailable: %llu kB", &available);
      std::sscanf(line, "SwapFree: %llu kB", &swap);
    }
    std::fclose(info);
    if (available > 0) return (static_cast<double>(available) + static_cast<double>(swap)) * 1024.0;
  }
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  // Not known: the allocator alone decides.
  if (pages <= 0 || page_size <= 0) return std::numeric_limits<double>::infinity();
  return static_cast<double>(pages) * static_cast<double>(page_size);
}

// Refuses, as out of memory, room for `count` items of `size` bytes that the
// machine cannot give: with overcommitting kernels the allocator might agree
// and the process be killed later instead. Small requests are not checked.
void check_room(std::size_t count, std::size_t size) {
  const double bytes = static_cast<double>(count) * static_cast<double>(size);
  if (bytes > 64.0 * 1024 * 1024 && bytes > available_memory()) throw std::bad_alloc();
}

template <class T>
void reserve_more(std::vector<T>& items, std::size_t extra) {
  check_room(extra, sizeof(T));
  items.reserve(items.size() + extra);
}

// ---- sequences and dicts -----------------------------------------------

// Calls `reserve(len)` when the length is known, then `each(item)` for every
// item in iteration order (the item is borrowed for the call).
template <class Reserve, class Each>
void for_each_item(PyObject* sequence, std::size_t item_bytes, Reserve&& reserve, Each&& each) {
  if (PyUnicode_Check(sequence)) raise_type_error("Can't extract `str` to `Vec`");
  if (PyList_CheckExact(sequence)) {
    reserve(static_cast<std::size_t>(PyList_GET_SIZE(sequence)));
    // The list may change under a conversion that runs Python code: read its
    // size on every step, as its iterator does, and hold the item.
    SignalChecks checks;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence); ++i) {
      const OwnedRef item = OwnedRef::borrow(PyList_GET_ITEM(sequence, i));
      each(item.get());
      checks.step();
    }
    return;
  }
  if (PyTuple_CheckExact(sequence)) {
    const Py_ssize_t size = PyTuple_GET_SIZE(sequence);
    reserve(static_cast<std::size_t>(size));
    SignalChecks checks;
    for (Py_ssize_t i = 0; i < size; ++i) {
      each(PyTuple_GET_ITEM(sequence, i));
      checks.step();
    }
    return;
  }
  if (!PySequence_Check(sequence)) {
    PyObject* target = sequence_type();
    OwnedRef name = OwnedRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(target)));
    if (!name) throw InternalFault("collections.abc.Sequence has no name");
    raise_cast_error(sequence, name.get());
  }
  // A length that cannot be had only costs the reservation. An exception
  // that is not an `Exception` (Ctrl-C, SystemExit, PanicException) is not a
  // missing length, though: it ends the call as it would anywhere else.
  const Py_ssize_t length = PyObject_Length(sequence);
  if (length < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorPending{};
    PyErr_Clear();
  } else {
    reserve(static_cast<std::size_t>(length));
  }
  // Beyond its length, if any, the storage grows as items come; before each
  // doubling past a million items, make sure that the grown copy fits beside
  // the old one, so that an endless sequence ends in MemoryError, not in the
  // kernel killing the process. A length that was too small is no promise.
  std::size_t count = 0;
  const std::size_t reserved = length < 0 ? 0 : static_cast<std::size_t>(length);
  std::size_t next_check = std::max(reserved + 1, std::size_t{1} << 20);
  const OwnedRef iterator = check(PyObject_GetIter(sequence));
  SignalChecks checks;
  while (const OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    each(item.get());
    checks.step();
    if (++count == next_check) {
      check_room(3 * count, item_bytes);
      next_check *= 2;
    }
  }
  if (PyErr_Occurred()) throw PyErrorPending{};
}

// Calls `each(key, value)` for every entry of a dict, in its order.
template <class Each>
void for_each_entry(PyObject* dict, Each&& each) {
  if (!PyDict_Check(dict)) raise_cast_error(dict, "dict");
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t position = 0;
  Py_ssize_t visited = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    {
      // A conversion may run Python code that drops the entry.
      const OwnedRef held_key = OwnedRef::borrow(key);
      const OwnedRef held_value = OwnedRef::borrow(value);
      each(key, value);
    }
    ++visited;
    if (PyDict_GET_SIZE(dict) != size) throw InternalFault("dictionary changed size during iteration");
    if (visited > size) throw InternalFault("dictionary keys changed during iteration");
  }
}

// A tuple of exactly `n` items.
void check_tuple(PyObject* value, Py_ssize_t n) {
  if (!PyTuple_Check(value)) raise_cast_error(value, "tuple");
  const Py_ssize_t size = PyTuple_GET_SIZE(value);
  if (size != n) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", n, size);
    throw PyErrorPending{};
  }
}

std::uint64_t long_to_u64(PyObject* value) {
  if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
    const Py_ssize_t small = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
    if (small >= 0) return static_cast<std::uint64_t>(small);
  }
  const unsigned long long result = PyLong_AsUnsignedLongLong(value);
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorPending{};
  return result;
}

// Interned names of the strings met during one import. A name is usually
// one object shared by every gate that uses it, found by its address without
// reading it. A parser may instead make a new but equal string for every
// gate; such a string is found by its (cached) hash and its characters, which
// costs less than interning its text again. Holding a reference to each
// cached object keeps its address from being reused by another one.
class NameCache {
 public:
  NameId intern(PyObject* value, InstructionList& list) {
    if (!PyUnicode_CheckExact(value)) return list.intern_name(to_str(value));
    Entry& same = by_object_[(std::bit_cast<std::uintptr_t>(value) >> 4) % by_object_.size()];
    if (same.object.get() == value) return same.id;
    const Py_hash_t hash = PyObject_Hash(value);
    if (hash == -1) throw PyErrorPending{};
    Entry& equal = by_text_[static_cast<std::size_t>(hash) % by_text_.size()];
    if (equal.object && equal.hash == hash && same_text(equal.object.get(), value)) return equal.id;
    const NameId id = list.intern_name(to_str(value));
    same = Entry{OwnedRef::borrow(value), hash, id};
    equal = Entry{OwnedRef::borrow(value), hash, id};
    return id;
  }

 private:
  struct Entry {
    OwnedRef object;
    Py_hash_t hash = 0;
    NameId id = 0;
  };

  // Exact strings are stored in their narrowest kind, so equal ones have
  // the same kind and the same code units.
  static bool same_text(PyObject* a, PyObject* b) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * kind) == 0;
  }

  std::array<Entry, 64> by_object_;
  std::array<Entry, 64> by_text_;
};

void convert_instruction(PyObject* item, InstructionList& list, NameCache& names) {
  check_tuple(item, 4);
  list.begin();
  const NameId name = names.intern(PyTuple_GET_ITEM(item, 0), list);
  for_each_item(
      PyTuple_GET_ITEM(item, 1), sizeof(Qubit),
      [&](std::size_t n) {
        check_room(n, sizeof(Qubit));
        list.reserve_qubits(n);
      },
      [&](PyObject* qubit) { list.push_qubit(to_u64(qubit)); });
  const double duration = to_f64(PyTuple_GET_ITEM(item, 2));
  for_each_entry(PyTuple_GET_ITEM(item, 3), [&](PyObject* key, PyObject* value) {
    const NameId key_id = names.intern(key, list);
    list.push_param(key_id, to_f64(value));
  });
  list.end(name, duration);
}

}  // namespace

// The target goes into the message as the str it is: a class's name need not
// be encodable as UTF-8.
void raise_cast_error(PyObject* value, PyObject* target) {
  OwnedRef type_name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(value)));
  if (!type_name) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be cast as '%U'", target);
  } else {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%U'", type_name.get(), target);
  }
  throw PyErrorPending{};
}

void raise_cast_error(PyObject* value, const char* target) {
  const OwnedRef name = check(PyUnicode_FromString(target));
  raise_cast_error(value, name.get());
}

// ---- scalars ----------------------------------------------------------------

std::uint64_t to_u64(PyObject* value) {
  if (PyLong_Check(value)) return long_to_u64(value);
  const OwnedRef index = check(PyNumber_Index(value));
  return long_to_u64(index.get());
}

double to_f64(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  if (PyLong_CheckExact(value) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
    // One machine digit: exactly representable, as int.__float__ gives it.
    return static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value)));
  }
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred()) throw PyErrorPending{};
  return result;
}

std::string_view to_str(PyObject* value) {
  if (!PyUnicode_Check(value)) raise_cast_error(value, "str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) throw_pending();
  return {text, static_cast<std::size_t>(size)};
}

// ---- containers ----------------------------------------------------------

std::vector<Qubit> to_qubits(PyObject* value) {
  std::vector<Qubit> qubits;
  for_each_item(
      value, sizeof(Qubit), [&](std::size_t n) { reserve_more(qubits, n); },
      [&](PyObject* item) { qubits.push_back(to_u64(item)); });
  return qubits;
}

std::vector<std::pair<Qubit, Qubit>> to_edges(PyObject* value) {
  std::vector<std::pair<Qubit, Qubit>> edges;
  for_each_item(
      value, sizeof(std::pair<Qubit, Qubit>), [&](std::size_t n) { reserve_more(edges, n); },
      [&](PyObject* item) {
        check_tuple(item, 2);
        const Qubit a = to_u64(PyTuple_GET_ITEM(item, 0));
        const Qubit b = to_u64(PyTuple_GET_ITEM(item, 1));
        edges.emplace_back(a, b);
      });
  return edges;
}

ParamList to_params(PyObject* value) {
  ParamList params;
  if (value == nullptr || value == Py_None) return params;
  if (PyDict_Check(value)) reserve_more(params, static_cast<std::size_t>(PyDict_GET_SIZE(value)));
  for_each_entry(value, [&](PyObject* key, PyObject* item) {
    std::string name(to_str(key));
    params.push_back(Param{std::move(name), to_f64(item)});
  });
  return params;
}

PulseDurations to_pulse_durations(PyObject* value) {
  PulseDurations durations;
  if (value == nullptr || value == Py_None) return durations;
  if (PyDict_Check(value)) reserve_more(durations, static_cast<std::size_t>(PyDict_GET_SIZE(value)));
  for_each_entry(value, [&](PyObject* key, PyObject* item) {
    const Qubit qubit = to_u64(key);
    durations.emplace_back(qubit, to_f64(item));
  });
  return durations;
}

InstructionList to_instructions(PyObject* value) {
  InstructionList list;
  NameCache names;
  constexpr std::size_t kInstructionBytes = 48;  // a node's columns and a qubit
  for_each_item(
      value, kInstructionBytes,
      [&](std::size_t n) {
        check_room(n, kInstructionBytes);
        list.reserve(n);
      },
      [&](PyObject* item) { convert_instruction(item, list, names); });
  return list;
}

void label_argument_error(const char* name) {
  OwnedRef error = OwnedRef::steal(PyErr_GetRaisedException());
  if (!error) {
    ensure_error_set();
    return;
  }
  if (PyErr_GivenExceptionMatches(error.get(), panic_exception_type())) rethrow_python_panic(error.get());
  if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(error.release());
    return;
  }
  OwnedRef text = OwnedRef::steal(PyObject_Str(error.get()));
  if (!text) {
    // An error whose message cannot be made into text is reported as it
    // stands, without the prefix. What made it fail is dropped if it is an
    // `Exception`; anything else (Ctrl-C, SystemExit) ends the call, with the
    // error it interrupted as its context.
    OwnedRef failure = OwnedRef::steal(PyErr_GetRaisedException());
    if (PyErr_GivenExceptionMatches(failure.get(), panic_exception_type())) rethrow_python_panic(failure.get());
    if (PyErr_GivenExceptionMatches(failure.get(), PyExc_Exception)) {
      PyErr_SetRaisedException(error.release());
    } else {
      PyException_SetContext(failure.get(), error.release());  // steals
      PyErr_SetRaisedException(failure.release());
    }
    return;
  }
  OwnedRef message = check(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  OwnedRef relabelled = check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  // Setting the cause, None included, also sets __suppress_context__, as
  // assigning __cause__ does in Python.
  PyException_SetCause(relabelled.get(), PyException_GetCause(error.get()));  // steals; NULL means None
  PyErr_SetRaisedException(relabelled.release());
}

// ---- results ---------------------------------------------------------------

OwnedRef from_u64(std::uint64_t value) { return result_object(PyLong_FromUnsignedLongLong(value)); }

OwnedRef from_f64(double value) { return result_object(PyFloat_FromDouble(value)); }

namespace {

// A new tuple of `size` null items for numbers only, which the cyclic
// collector does not track: ints and floats can never close a cycle, and the
// collector would untrack such a tuple at its first look anyway. PyTuple_New
// tracks every tuple it makes, and untracking it again made a window list
// about a fifth slower, so on the interpreter whose tuple layout this knows
// the tuple is allocated here, set up as PyTuple_New sets it up. Callers fill
// every item before the tuple is seen; a tuple freed with null items is fine.
OwnedRef number_tuple(Py_ssize_t size) {
#if PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x030F0000
  OwnedRef tuple = result_object(PyObject_GC_NewVar(PyObject, &PyTuple_Type, size));
  auto* items = reinterpret_cast<PyTupleObject*>(tuple.get());
  items->ob_hash = -1;  // not computed yet
  std::fill_n(items->ob_item, size, nullptr);
  return tuple;
#else
  OwnedRef tuple = result_object(PyTuple_New(size));
  PyObject_GC_UnTrack(tuple.get());
  return tuple;
#endif
}

// A new list of `size` empty slots, hidden from the cyclic collector until
// `publish` hands it over. Long fills look for Ctrl-C, and the handler, or a
// finaliser that a collection runs, is Python code: through
// gc.get_objects() it could reach a tracked list whose later slots are still
// empty, and reading one crashes. An untracked list is visible to nothing
// but this code; one dropped half-filled frees the items it holds.
OwnedRef unpublished_list(std::size_t size) {
  OwnedRef list = result_object(PyList_New(static_cast<Py_ssize_t>(size)));
  PyObject_GC_UnTrack(list.get());
  return list;
}

// The list made by `unpublished_list`, every slot now filled, tracked again:
// a caller may put it into a cycle.
OwnedRef publish(OwnedRef list) {
  PyObject_GC_Track(list.get());
  return list;
}

}  // namespace

OwnedRef from_schedule_entry(const ScheduleEntry& entry) {
  OwnedRef pair = number_tuple(2);
  PyTuple_SET_ITEM(pair.get(), 0, from_f64(entry.start_time).release());
  PyTuple_SET_ITEM(pair.get(), 1, from_f64(entry.end_time).release());
  return pair;
}

namespace {

// Recently made floats by value. Floats are immutable, so results that
// repeat a value (durations, parameter values) can share one object instead
// of allocating each time. A NaN is never
// shared: containers compare items by identity first, so two results holding
// one NaN object would compare equal where fresh NaNs do not.
class FloatCache {
 public:
  // A new reference to a float equal to `value`, bit for bit.
  PyObject* get(double value) {
    if (std::isnan(value)) return from_f64(value).release();
    const auto bits = std::bit_cast<std::uint64_t>(value);
    Entry& entry = entries_[(bits ^ (bits >> 31) ^ (bits >> 47)) % entries_.size()];
    if (!entry.object || entry.bits != bits) {
      entry.object = from_f64(value);
      entry.bits = bits;
    }
    return Py_NewRef(entry.object.get());
  }

 private:
  struct Entry {
    std::uint64_t bits = 0;
    OwnedRef object;
  };
  std::array<Entry, 256> entries_;
};

// The float made last, handed out again while the value repeats bit for bit;
// never a NaN, as above. It holds no reference of its own: the caller keeps
// every float it was given alive for as long as it uses this.
class SharedFloat {
 public:
  PyObject* get(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    if (object_ == nullptr || bits != bits_ || std::isnan(value)) {
      object_ = from_f64(value).release();
      bits_ = bits;
      return object_;
    }
    return Py_NewRef(object_);
  }

 private:
  PyObject* object_ = nullptr;
  std::uint64_t bits_ = 0;
};

// Builds the window list from a search's pieces: each window's tuple goes
// straight to its place in the list, so the list is made in its own order
// (a list whose items were made out of order is slower to walk and to free).
class WindowListBuilder final : public IdleWindowSink {
 public:
  void expect(std::span<const IdleWindowList::Run> runs, std::size_t total) override {
    placer_.expect(runs, total);
    list_ = unpublished_list(total);
    qubits_.reserve(runs.size());
    for (const IdleWindowList::Run& run : runs) qubits_.push_back(from_u64(run.qubit));
  }

  void take(const IdleWindowList& piece) override {
    for (const IdleWindowList::Run& run : piece.runs()) {
      const WindowPlacer::Place place = placer_.place(run);
      PyObject* const qubit = qubits_[place.run].get();
      auto at = static_cast<Py_ssize_t>(place.at);
      // Equal neighbours share one float: a window of length 0 starts and
      // ends at one time, and where the operation between two windows takes
      // no time the later one starts where the earlier one ended. Other
      // repeats belong to other qubits' windows, far apart in the list: a
      // float shared with them makes the list slower to free than the
      // lookup saves in making it.
      SharedFloat last;
      for (const TimeSpan& window : piece.windows(run)) {
        OwnedRef tuple = number_tuple(3);
        PyTuple_SET_ITEM(tuple.get(), 0, Py_NewRef(qubit));
        PyTuple_SET_ITEM(tuple.get(), 1, last.get(window.start));
        PyTuple_SET_ITEM(tuple.get(), 2, last.get(window.end));
        PyList_SET_ITEM(list_.get(), at++, tuple.release());
        checks_.step();
      }
    }
  }

  OwnedRef finish() {
    placer_.finish();
    return publish(std::move(list_));
  }

 private:
  WindowPlacer placer_;
  OwnedRef list_;
  std::vector<OwnedRef> qubits_;  // each expected run's qubit as an int, shared by its windows
  InterruptChecks checks_;
};

}  // namespace

OwnedRef find_idle_windows(const QuantumDAG& dag, double min_gap_ns) {
  WindowListBuilder builder;
  dag.find_idle_windows(min_gap_ns, builder);
  return builder.finish();
}

namespace {

// Python objects shared across one export: one `str` per distinct name, one
// `int` per distinct qubit (indices above the interpreter's small ints would
// otherwise be a new object at every occurrence), and floats from a
// FloatCache.
class ExportCache {
 public:
  explicit ExportCache(const QuantumDAG& dag)
      : dag_(dag), names_(dag.store().names().size()), qubits_(dag.qubit_table().size()) {}

  PyObject* qubit(QubitSlot slot) {
    OwnedRef& cached = qubits_[slot];
    if (!cached) cached = from_u64(dag_.qubit_table().qubit(slot));
    return cached.get();
  }

  PyObject* name(NameId id) {
    OwnedRef& slot = names_[id];
    if (!slot) {
      const std::string& text = dag_.store().name(id);
      slot = result_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
    return slot.get();
  }

  PyObject* number(double value) { return floats_.get(value); }

  // A new dict of `params`. Nodes may share one parameter run (every DD pulse
  // does); from the second node on, such a run is copied from a private
  // template, which is cheaper than inserting entry by entry.
  OwnedRef params(std::span<const StoredParam> params) {
    if (params.empty()) return result_object(PyDict_New());
    if (params.data() == template_run_) {
      if (!template_) template_ = build(params);
      return result_object(PyDict_Copy(template_.get()));
    }
    template_run_ = params.data();
    template_ = OwnedRef();
    return build(params);
  }

 private:
  OwnedRef build(std::span<const StoredParam> params) {
    OwnedRef dict = result_object(PyDict_New());
    for (const StoredParam& param : params) {
      OwnedRef value = OwnedRef::steal(number(param.value));
      if (PyDict_SetItem(dict.get(), name(param.name), value.get()) < 0) throw PyErrorPending{};
    }
    return dict;
  }

  const QuantumDAG& dag_;
  std::vector<OwnedRef> names_;
  std::vector<OwnedRef> qubits_;
  FloatCache floats_;
  const StoredParam* template_run_ = nullptr;
  OwnedRef template_;
};

OwnedRef export_node(const DagNode& node, ExportCache& cache) {
  const std::span<const QubitSlot> slots = node.slots();
  OwnedRef qubits = result_object(PyList_New(static_cast<Py_ssize_t>(slots.size())));
  for (std::size_t i = 0; i < slots.size(); ++i) {
    PyList_SET_ITEM(qubits.get(), static_cast<Py_ssize_t>(i), Py_NewRef(cache.qubit(slots[i])));
  }
  OwnedRef params = cache.params(node.params());
  OwnedRef tuple = result_object(PyTuple_New(4));
  PyTuple_SET_ITEM(tuple.get(), 0, Py_NewRef(cache.name(node.name_id())));
  PyTuple_SET_ITEM(tuple.get(), 1, qubits.release());
  PyTuple_SET_ITEM(tuple.get(), 2, cache.number(node.gate_duration_ns()));
  PyTuple_SET_ITEM(tuple.get(), 3, params.release());
  return tuple;
}

}  // namespace

OwnedRef export_nodes(const QuantumDAG& dag) {
  // Boundary nodes are not exported; gate insertion never makes them.
  const std::size_t exported = dag.node_count() - dag.store().boundary_count();
  OwnedRef list = unpublished_list(exported);
  ExportCache cache(dag);
  InterruptChecks checks;
  Py_ssize_t at = 0;
  for (NodeId id = 0; id < dag.next_id(); ++id) {
    const DagNode node = dag.node(id);
    if (node.kind() != NodeKind::Operation) continue;
    PyList_SET_ITEM(list.get(), at++, export_node(node, cache).release());
    checks.step();
  }
  return publish(std::move(list));
}

}  // namespace velunq::py
