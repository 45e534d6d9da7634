#include "dag_object.hpp"

#include <atomic>
#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "binding.hpp"
#include "convert.hpp"
#include "faults.hpp"
#include "once.hpp"
#include "progress_output.hpp"

namespace velunq::py {

namespace {

// The binding wrapper: owns exactly one graph.
struct PyQuantumDAG {
  QuantumDAG dag;
};

// The instance record.
struct DagObject {
  PyObject_HEAD
  PyQuantumDAG value;
  // 0: free; n: n shared accesses; all ones: one exclusive access.
  std::atomic<std::size_t> borrow;
  std::uint64_t owner_thread;
};

constexpr std::size_t kExclusive = std::numeric_limits<std::size_t>::max();
constexpr const char* kBindingName = "_velun_q::PyQuantumDAG";

ProcessOnce dag_type;

constexpr std::uint64_t kNeverOwned = 0;  // the owner of an instance the constructor did not make

// A number for the calling thread that no other thread of the process ever
// gets. System thread identifiers are reused once a thread has ended, which
// would hand an instance over to whichever new thread happened to get its
// owner's identifier.
std::uint64_t current_thread() noexcept {
  static std::atomic<std::uint64_t> next{kNeverOwned + 1};
  thread_local const std::uint64_t mine = [] {
    // The C++ runtime sets up a thread's exception state on its first use,
    // and the C library ends the process when it cannot get the memory. Set
    // it up here, at the thread's first new graph or method call, rather
    // than at its first error, which may come when memory is short. (The
    // call is pure; the volatile store keeps it from being dropped.)
    [[maybe_unused]] volatile int in_flight = std::uncaught_exceptions();
    return next.fetch_add(1, std::memory_order_relaxed);
  }();
  return mine;
}

// ---- the rules every call follows ------------------------------------------

DagObject& receiver(PyObject* self) {
  auto* type = reinterpret_cast<PyTypeObject*>(quantum_dag_type());
  if (self == nullptr || !PyObject_TypeCheck(self, type)) raise_cast_error(self ? self : Py_None, "QuantumDAG");
  return *reinterpret_cast<DagObject*>(self);
}

void check_owner(const DagObject& object) {
  // A zeroed instance that holds no graph: `object.__new__` after the class's
  // `__new__` was replaced. No thread owns it, and no call may touch it.
  if (object.owner_thread == kNeverOwned) {
    throw InternalFault(std::string(kBindingName) + " holds no graph: it was not made by QuantumDAG()");
  }
  const std::uint64_t current = current_thread();
  if (current != object.owner_thread) {
    throw InternalFault(std::string(kBindingName) + " is unsendable, but sent to another thread (owner thread " +
                        std::to_string(object.owner_thread) + ", current thread " + std::to_string(current) + ")");
  }
}

enum class Access { Shared, Exclusive };

// Holds shared or exclusive access to an instance for the length of a call.
class AccessGuard {
 public:
  AccessGuard(DagObject& object, Access access) : borrow_(object.borrow), access_(access) {
    if (access == Access::Exclusive) {
      std::size_t expected = 0;
      if (!borrow_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire)) {
        conflict("Already borrowed");
      }
      return;
    }
    std::size_t current = borrow_.load(std::memory_order_relaxed);
    do {
      if (current == kExclusive) conflict("Already mutably borrowed");
    } while (!borrow_.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
  }
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;
  ~AccessGuard() {
    if (access_ == Access::Exclusive) {
      borrow_.store(0, std::memory_order_release);
    } else {
      borrow_.fetch_sub(1, std::memory_order_release);
    }
  }

 private:
  [[noreturn]] static void conflict(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    throw PyErrorPending{};
  }
  std::atomic<std::size_t>& borrow_;
  Access access_;
};

// Receiver, owner thread and access checks, then `body(graph)`; the access is
// released on every way out.
template <Access access, class Body>
PyObject* with_graph(PyObject* self, Body&& body) {
  DagObject& object = receiver(self);
  check_owner(object);
  AccessGuard guard(object, access);
  OwnedRef result = body(object.value.dag);
  return result.release();
}

// A new instance that owns `dag`, owned by the calling thread.
PyObject* new_instance(PyTypeObject* type, QuantumDAG&& dag) {
  allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) throw_pending();
  auto* object = reinterpret_cast<DagObject*>(self);
  new (&object->value) PyQuantumDAG{std::move(dag)};
  new (&object->borrow) std::atomic<std::size_t>(0);
  object->owner_thread = current_thread();
  return self;
}

OwnedRef none() { return OwnedRef::borrow(Py_None); }

// ---- parameters -----------------------------------------------------------

constexpr const char* kNoNames[] = {nullptr};
constexpr const char* kEdges[] = {"edges"};
constexpr const char* kAddGateNames[] = {"name", "qubits", "duration_ns", "params"};
constexpr const char* kInstructions[] = {"instructions"};
constexpr const char* kNodeId[] = {"node_id"};
constexpr const char* kMinGap[] = {"min_gap_ns"};
constexpr const char* kDdNames[] = {"sequence", "pulse_durations", "num_qubits"};

constexpr FunctionDescription kNew{"QuantumDAG", "__new__", kNoNames, 0, 0};
constexpr FunctionDescription kSetCouplingMap{"QuantumDAG", "set_coupling_map", kEdges, 1, 1};
constexpr FunctionDescription kAddGate{"QuantumDAG", "add_gate", kAddGateNames, 4, 3};
constexpr FunctionDescription kBuildFromIr{"QuantumDAG", "build_from_ir", kInstructions, 1, 1};
constexpr FunctionDescription kGetNodeSchedule{"QuantumDAG", "get_node_schedule", kNodeId, 1, 1};
constexpr FunctionDescription kFindIdleWindows{"QuantumDAG", "find_idle_windows", kMinGap, 1, 1};
constexpr FunctionDescription kApplyDdPass{"QuantumDAG", "apply_dd_pass", kDdNames, 3, 0};

// ---- type slots ---------------------------------------------------------

PyObject* dag_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    extract_arguments_tuple_dict(kNew, args, kwargs, nullptr);
    return new_instance(type, QuantumDAG());
  });
}

void dag_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<DagObject*>(self);
  PyObject* pending = PyErr_GetRaisedException();
  // An instance made without the constructor (its class's __new__ replaced
  // from Python) is zeroed memory with no graph in it to destroy.
  if (object->owner_thread != kNeverOwned) {
    if (object->owner_thread != current_thread()) {
      // Misuse worth a report; the graph is plain native data, so it is still
      // freed here rather than leaked. Nothing here may throw.
      PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread", kBindingName);
      PyErr_WriteUnraisable(nullptr);
    }
    object->value.~PyQuantumDAG();
  }
  PyErr_SetRaisedException(pending);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- methods ------------------------------------------------------------------

PyObject* set_coupling_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto bound = bind<1>(kSetCouplingMap, args, nargs, kwnames);
    return with_graph<Access::Exclusive>(self, [&](QuantumDAG& dag) {
      const auto edges = convert_argument("edges", bound[0], to_edges);
      dag.add_couplings(edges);
      return none();
    });
  });
}

PyObject* node_count(PyObject* self, PyObject*) {
  return guarded([&] {
    return with_graph<Access::Shared>(self, [](QuantumDAG& dag) { return from_u64(dag.node_count()); });
  });
}

PyObject* add_gate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto bound = bind<4>(kAddGate, args, nargs, kwnames);
    return with_graph<Access::Exclusive>(self, [&](QuantumDAG& dag) {
      const std::string_view name = convert_argument("name", bound[0], to_str);
      const auto qubits = convert_argument("qubits", bound[1], to_qubits);
      const double duration = convert_argument("duration_ns", bound[2], to_f64);
      const ParamList params = convert_argument("params", bound[3], to_params);
      return from_u64(dag.add_gate(name, qubits, duration, params));
    });
  });
}

PyObject* build_from_ir(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto bound = bind<1>(kBuildFromIr, args, nargs, kwnames);
    return with_graph<Access::Exclusive>(self, [&](QuantumDAG& dag) {
      InstructionList instructions = convert_argument("instructions", bound[0], to_instructions);
      MethodProgress progress;
      dag.build_from_ir(std::move(instructions), progress);
      return none();
    });
  });
}

PyObject* build_schedule(PyObject* self, PyObject*) {
  return guarded([&] {
    return with_graph<Access::Exclusive>(self, [](QuantumDAG& dag) {
      dag.build_schedule();
      return none();
    });
  });
}

PyObject* get_node_schedule(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto bound = bind<1>(kGetNodeSchedule, args, nargs, kwnames);
    return with_graph<Access::Shared>(self, [&](QuantumDAG& dag) {
      const NodeId id = convert_argument("node_id", bound[0], to_u64);
      const auto entry = dag.node_schedule(id);
      return entry ? from_schedule_entry(*entry) : none();
    });
  });
}

PyObject* find_idle_windows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto bound = bind<1>(kFindIdleWindows, args, nargs, kwnames);
    return with_graph<Access::Shared>(self, [&](QuantumDAG& dag) {
      const double min_gap = convert_argument("min_gap_ns", bound[0], to_f64);
      return velunq::py::find_idle_windows(dag, min_gap);
    });
  });
}

PyObject* apply_dd_pass(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto bound = bind<3>(kApplyDdPass, args, nargs, kwnames);
    return with_graph<Access::Shared>(self, [&](QuantumDAG& dag) {
      const std::string_view sequence =
          bound[0] ? convert_argument("sequence", bound[0], to_str) : std::string_view("XY");
      const PulseDurations durations = convert_argument("pulse_durations", bound[1], to_pulse_durations);
      const std::uint64_t num_qubits = bound[2] ? convert_argument("num_qubits", bound[2], to_u64) : 0;
      MethodProgress progress;
      QuantumDAG result = dag.apply_dd_pass(sequence, durations, num_qubits, progress);
      return OwnedRef::steal(new_instance(Py_TYPE(self), std::move(result)));
    });
  });
}

PyObject* get_all_nodes(PyObject* self, PyObject*) {
  return guarded([&] { return with_graph<Access::Shared>(self, [](QuantumDAG& dag) { return export_nodes(dag); }); });
}

template <class F>
PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"set_coupling_map", fastcall(set_coupling_map), METH_FASTCALL | METH_KEYWORDS,
     "set_coupling_map($self, edges)\n--\n\n"},
    {"node_count", node_count, METH_NOARGS,
     "node_count($self)\n--\n\nReturns the total number of nodes in the DAG."},
    {"add_gate", fastcall(add_gate), METH_FASTCALL | METH_KEYWORDS,
     "add_gate($self, name, qubits, duration_ns, params=None)\n--\n\n"
     "Adds a gate node to the graph and connects dependent edges."},
    {"build_from_ir", fastcall(build_from_ir), METH_FASTCALL | METH_KEYWORDS,
     "build_from_ir($self, instructions)\n--\n\n"
     "Reads an IR constructed by a framework adapter and builds the DAG."},
    {"build_schedule", build_schedule, METH_NOARGS,
     "build_schedule($self)\n--\n\nComputes the schedule (start and end times) for all nodes."},
    {"get_node_schedule", fastcall(get_node_schedule), METH_FASTCALL | METH_KEYWORDS,
     "get_node_schedule($self, node_id)\n--\n\n"
     "Retrieves the schedule for a specific node as (start_time, end_time)."},
    {"find_idle_windows", fastcall(find_idle_windows), METH_FASTCALL | METH_KEYWORDS,
     "find_idle_windows($self, min_gap_ns)\n--\n\n"
     "Finds idle windows on qubits where the gap between operations is >= min_gap_ns."},
    {"apply_dd_pass", fastcall(apply_dd_pass), METH_FASTCALL | METH_KEYWORDS,
     "apply_dd_pass($self, sequence=\"XY\", pulse_durations=None, num_qubits=0)\n--\n\n"
     "Dynamically inserts Dynamical Decoupling (DD) sequences on idle qubits."},
    {"get_all_nodes", get_all_nodes, METH_NOARGS,
     "get_all_nodes($self)\n--\n\n"
     "Exports all operations in topological order a list of tuples (name, qubits, duration)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(dag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dag_dealloc)},
    {Py_tp_doc, const_cast<char*>("QuantumDAG()\n--\n\nPython wrapper for the core QuantumDAG.")},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.QuantumDAG",
    static_cast<int>(sizeof(DagObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* quantum_dag_type() {
  return dag_type.get([] {
    PyObject* type = PyType_FromSpec(&kSpec);
    if (type == nullptr) {
      PyErr_WriteUnraisable(nullptr);
      throw InternalFault("An error occurred while initializing class QuantumDAG");
    }
    return type;
  });
}

}  // namespace velunq::py
