// Conversion of Python values to native values and back.
//
// Every conversion copies: no native value keeps a reference to a Python
// object after a call. A rejected value throws PyErrorPending with the
// exception set; `convert_argument` then labels it with the parameter name.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "graph/quantum_dag.hpp"
#include "refs.hpp"

namespace velunq::py {

// ---- Python to native ---------------------------------------------------

std::uint64_t to_u64(PyObject* value);
double to_f64(PyObject* value);
// The UTF-8 text of a `str`; valid while the object lives.
std::string_view to_str(PyObject* value);

std::vector<Qubit> to_qubits(PyObject* value);
std::vector<std::pair<Qubit, Qubit>> to_edges(PyObject* value);
ParamList to_params(PyObject* value);               // None or absent: empty
PulseDurations to_pulse_durations(PyObject* value);  // None or absent: empty
InstructionList to_instructions(PyObject* value);

// Runs `convert(value)`; a failure is reported for parameter `name`: an exact
// TypeError gets the prefix "argument 'name': ", anything else passes as it is.
void label_argument_error(const char* name);

template <class Convert>
auto convert_argument(const char* name, PyObject* value, Convert&& convert) -> decltype(convert(value)) {
  try {
    return convert(value);
  } catch (const PyErrorPending&) {
    label_argument_error(name);
    throw;
  }
}

// ---- native to Python ---------------------------------------------------

OwnedRef from_u64(std::uint64_t value);
OwnedRef from_f64(double value);
OwnedRef from_schedule_entry(const ScheduleEntry& entry);
// The graph's idle windows of at least `min_gap_ns` as (qubit, start, end) tuples.
OwnedRef find_idle_windows(const QuantumDAG& dag, double min_gap_ns);
// The graph's operations in id order as (name, qubits, duration, params) tuples.
OwnedRef export_nodes(const QuantumDAG& dag);

// The message "'{type}' object cannot be cast as '{target}'" as a TypeError; the
// target is a C string or a str object.
[[noreturn]] void raise_cast_error(PyObject* value, const char* target);
[[noreturn]] void raise_cast_error(PyObject* value, PyObject* target);

}  // namespace velunq::py
