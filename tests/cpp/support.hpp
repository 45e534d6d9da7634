// Helpers shared by the core tests: a value form of a node list, a capturing
// progress sink, a plain reference schedule and a random circuit generator.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "graph/quantum_dag.hpp"

namespace velunq::test {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Qubit kMaxQubit = ~Qubit{0};

// Bit equality: NaN equals NaN, 0.0 differs from -0.0.
inline bool same(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }
// For computed times, where the sign of a NaN is the hardware's choice.
inline bool same_time(double a, double b) { return (std::isnan(a) && std::isnan(b)) || same(a, b); }

struct Gate {
  std::string name;
  std::vector<Qubit> qubits;
  double duration;
  std::vector<std::pair<std::string, double>> params;
  bool operator==(const Gate& o) const {
    if (name != o.name || qubits != o.qubits || !same(duration, o.duration) || params.size() != o.params.size())
      return false;
    for (std::size_t i = 0; i < params.size(); ++i)
      if (params[i].first != o.params[i].first || !same(params[i].second, o.params[i].second)) return false;
    return true;
  }
};
inline std::ostream& operator<<(std::ostream& os, const Gate& g) {
  os << g.name << "[";
  for (Qubit q : g.qubits) os << q << " ";
  os << "] " << g.duration << " {";
  for (const auto& [k, v] : g.params) os << k << ":" << v << " ";
  return os << "}";
}

inline Gate pulse(const char* name, Qubit q, double d) { return {name, {q}, d, {{"amp", 0.15}, {"sigma", 40.0}, {"beta", 0.5}}}; }

inline NodeId add(QuantumDAG& dag, const Gate& g) {
  ParamList params;
  for (const auto& [k, v] : g.params) params.push_back({k, v});
  return dag.add_gate(g.name, g.qubits, g.duration, params);
}
inline QuantumDAG dag_of(const std::vector<Gate>& gates) {
  QuantumDAG dag;
  for (const Gate& g : gates) add(dag, g);
  return dag;
}

inline std::vector<Gate> exported(const QuantumDAG& dag) {
  std::vector<Gate> out;
  for (NodeId id = 0; id < dag.node_count(); ++id) {
    const DagNode n = dag.node(id);
    Gate g{std::string(n.name()), n.qubits(), n.duration_ns(), {}};
    for (std::size_t i = 0; i < n.param_count(); ++i) g.params.emplace_back(n.param_name(i), n.param_value(i));
    out.push_back(std::move(g));
  }
  return out;
}

struct Lines final : ProgressSink {
  std::vector<std::string> lines;
  void line(std::string_view text) override { lines.emplace_back(text); }
};

// The schedule exactly as described: ids ascending, start raised only by a
// strictly later free time of one of the node's qubits.
inline std::map<NodeId, ScheduleEntry> reference_schedule(const std::vector<Gate>& gates) {
  std::map<NodeId, ScheduleEntry> schedule;
  std::map<Qubit, double> free_at;
  for (NodeId id = 0; id < gates.size(); ++id) {
    double start = +0.0;
    for (Qubit q : gates[id].qubits)
      if (auto it = free_at.find(q); it != free_at.end() && it->second > start) start = it->second;
    const double end = start + gates[id].duration;
    schedule[id] = {start, end};
    for (Qubit q : gates[id].qubits) free_at[q] = end;
  }
  return schedule;
}

template <class T>
const T& pick(std::mt19937_64& rng, const std::vector<T>& from) {
  return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(rng)];
}

// Small circuits on a few qubits (plus two indices far above the small range),
// with every kind of awkward duration.
inline std::vector<Gate> random_gates(std::mt19937_64& rng, std::size_t count) {
  static const std::vector<Qubit> pool{0, 1, 2, 3, 4, 5, 0, 1, 2, 3, 4, 5, Qubit{1} << 20, kMaxQubit};
  static const std::vector<double> durations{0, 5, 10, 20, 35, 50, 60, 100, 150, 300, 300, -20, kInf, -kInf, kNaN};
  static const std::vector<std::string> names{"x", "cx", "amp", ""};
  std::vector<Gate> gates(count);
  for (Gate& g : gates) {
    g.name = pick(rng, names);
    const std::size_t arity = std::uniform_int_distribution<std::size_t>(rng() % 16 ? 1 : 0, 3)(rng);
    for (std::size_t i = 0; i < arity; ++i) g.qubits.push_back(pick(rng, pool));
    g.duration = rng() % 4 ? pick(rng, durations) : 10.0;
    if (rng() % 3 == 0) g.params = {{"theta", 0.5}, {"x", kNaN}};
  }
  return gates;
}

}  // namespace velunq::test
