#include "faults.hpp"

#include <cstdio>
#include <string>
#include <string_view>

#include "once.hpp"

namespace velunq::py {

namespace {

ProcessOnce panic_type;

constexpr const char* kPanicDoc =
    "Raised when native code called from Python hits an internal fault.\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it will "
    "typically propagate all the way up the stack and end the interpreter.";

void write_notice(const char* message, const char* file, unsigned line) noexcept {
  std::fprintf(stderr, "velun_q: internal fault in thread %lu at %s:%u: %s\n",
               PyThread_get_thread_ident(), file, line, message);
  std::fflush(stderr);
}

void set_panic(std::string_view message) noexcept {
  // An exception that the fault cut short (an interrupt during an import the
  // module made, say) becomes the panic's context instead of being lost.
  OwnedRef interrupted = OwnedRef::steal(PyErr_GetRaisedException());
  PyObject* type = nullptr;
  try {
    type = panic_exception_type();
  } catch (...) {
    // The class cannot be made; whatever that attempt raised stands instead.
    ensure_error_set();
    return;
  }
  // As PyErr_SetString, but keeping a message's NUL characters, and bytes
  // that are not UTF-8 (a system error text in the host's locale) as
  // escapes; if the text cannot be made, that error stands instead.
  const OwnedRef text = OwnedRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
  if (text) PyErr_SetObject(type, text.get());
  if (!interrupted) return;
  PyObject* panic = PyErr_GetRaisedException();
  PyException_SetContext(panic, interrupted.release());  // steals
  PyErr_SetRaisedException(panic);
}

}  // namespace

PyObject* panic_exception_type() {
  return panic_type.get([] {
    PyObject* type = PyErr_NewExceptionWithDoc("velun_q.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) throw_pending();
    return type;
  });
}

void raise_panic(const InternalFault& fault) noexcept {
  write_notice(fault.what(), fault.where().file_name(), fault.where().line());
  set_panic(fault.message());
}

void raise_panic(const char* message) noexcept {
  write_notice(message, "<unknown>", 0);
  set_panic(message);
}

void rethrow_python_panic(PyObject* exception) {
  std::fprintf(stderr, "velun_q: Python code called by the module raised PanicException:\n");
  std::fflush(stderr);
  PyErr_DisplayException(exception);
  std::string message = "PanicException raised by Python code";
  if (OwnedRef text = OwnedRef::steal(PyObject_Str(exception))) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
      message.assign(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  throw InternalFault(message);
}

OwnedRef result_object(PyObject* p) {
  if (p == nullptr) throw ResultObjectFailed("Python API call failed");
  return OwnedRef::steal(p);
}

}  // namespace velunq::py
