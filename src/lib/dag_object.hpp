// The Python class QuantumDAG: instance record, access rules and methods.
#pragma once

#include "graph/quantum_dag.hpp"
#include "refs.hpp"

namespace velunq::py {

// The QuantumDAG type object (created on first need).
PyObject* quantum_dag_type();

}  // namespace velunq::py
