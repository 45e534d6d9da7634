// The module entry point: creates `_velun_q` once per interpreter runtime and
// hands the same module back on every later initialisation in it.

#include <atomic>
#include <cstdint>

#include "dag_object.hpp"
#include "faults.hpp"
#include "once.hpp"

namespace velunq::py {

namespace {

constexpr const char* kModuleDoc = "The VelunQ high-performance quantum compiler module.";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_velun_q",
    kModuleDoc,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
std::atomic<bool> exit_hook_set{false};  // in this runtime
ProcessOnce module_object;
ProcessOnce velunq_error;

PyObject* velunq_error_type() {
  return velunq_error.get([] {
    PyObject* type = PyErr_NewExceptionWithDoc("velun_q.VelunQError", nullptr, nullptr, nullptr);
    if (type == nullptr) {
      PyErr_Clear();
      throw InternalFault("Failed to initialize new exception type.");
    }
    return type;
  });
}

// Appends `name` to the module's __all__, then sets the attribute.
void add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) throw_pending();
  OwnedRef all = OwnedRef::steal(found);
  if (!all) {
    all = check(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending();
  }
  OwnedRef text = check(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) throw_pending();
  if (PyModule_AddObjectRef(module, name, value) < 0) throw_pending();
}

// Runs at the very end of Py_FinalizeEx: every object the module cached is
// gone with the runtime, so a runtime started after it begins from nothing.
void forget_runtime() {
  ProcessOnce::forget_all();
  owning_interpreter.store(-1);
  exit_hook_set.store(false);
}

PyObject* make_module() {
  // Once per runtime, however many imports fail: the hook's table holds 32
  // functions. Should it be full, only a runtime started after this one
  // would miss the clean-up.
  if (!exit_hook_set.exchange(true)) Py_AtExit(forget_runtime);
  OwnedRef module = check(PyModule_Create2(&module_definition, 1013));
  add_public(module.get(), "VelunQError", velunq_error_type());
  add_public(module.get(), "QuantumDAG", quantum_dag_type());
  return module.release();
}

PyObject* init_module() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) throw_pending();
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, current) && expected != current) {
    // The first to initialise the module is not always one that imported
    // it: an import in a sub-interpreter first initialises it in the main
    // interpreter.
    PyErr_Format(PyExc_ImportError,
                 "_velun_q does not support sub-interpreters: it belongs to interpreter %lld, the first to "
                 "initialise it",
                 static_cast<long long>(expected));
    throw PyErrorPending{};
  }
  return Py_NewRef(module_object.get(make_module));
}

}  // namespace

}  // namespace velunq::py

PyMODINIT_FUNC PyInit__velun_q() {
  return velunq::py::guarded(velunq::py::init_module);
}
