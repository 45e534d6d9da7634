// A failed import or gate adds none of its nodes, names or qubits: each
// allocation through operator new in build_from_ir or add_gate (names, the
// qubit table, progress text) is made to fail in turn (the graph's columns
// and the qubits' numbers for them take malloc and realloc, which are not
// counted here), and a stop is asked for at the closing progress line; into
// an empty graph and into one with nodes.
//
// This file replaces the global operator new, so it is a program of its own:
// a memory checker that replaces it too would see every test of a shared
// program free with the wrong function.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "../support.hpp"

namespace {
long fail_countdown = -1;  // fail the allocation this many allocations from now; < 0: never
}  // namespace

void* operator new(std::size_t size) {
  if (fail_countdown >= 0 && fail_countdown-- == 0) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
// Every form of operator new (array forms go through these) ends in malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace velunq::test {
namespace {

InstructionList two_instructions() {
  InstructionList list;
  for (const char* name : {"x", "cx"}) {
    list.begin();
    const NameId id = list.intern_name(name);
    list.push_qubit(0);
    list.push_qubit(1u << 21);
    list.end(id, 35.0);
  }
  return list;
}

// Takes the lines without allocating: a failure of the sink itself is not
// the import's.
struct CountedLines final : ProgressSink {
  int count = 0;
  void line(std::string_view) override { ++count; }
};

// A graph with no nodes takes the import's storage as it is; one with nodes
// copies the import into its own. Both must roll back alike.
const std::vector<std::vector<Gate>> kBefore = {{}, {{"h", {0}, 10.0, {}}}};

TEST(ImportRollback, AnImportThatRunsOutOfMemoryAddsNoNode) {
  for (const std::vector<Gate>& before : kBefore) {
    int failed_calls = 0;
    for (long k = 0;; ++k) {
      QuantumDAG dag = dag_of(before);
      InstructionList list = two_instructions();
      CountedLines lines;
      fail_countdown = k;
      bool threw = false;
      try {
        dag.build_from_ir(std::move(list), lines);
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      const bool failed = fail_countdown < 0;
      fail_countdown = -1;
      if (!failed) {
        EXPECT_EQ(dag.node_count(), before.size() + 2);
        EXPECT_EQ(lines.count, 2);
        break;
      }
      if (threw) {
        ++failed_calls;
        EXPECT_EQ(exported(dag), before) << "allocation " << k;
        EXPECT_EQ(dag.store().names().size(), before.size()) << "allocation " << k;  // "h" or none
      } else {
        EXPECT_EQ(dag.node_count(), before.size() + 2) << "allocation " << k;
      }
    }
    EXPECT_GT(failed_calls, 0);
  }
}

TEST(ImportRollback, AGateThatRunsOutOfMemoryAddsNothing) {
  const std::vector<Gate> before{{"h", {0}, 10.0, {}}};
  const Gate gate{"cx", {0, 1u << 21}, 35.0, {{"theta", 0.5}, {"phi", 1.5}}};
  int failed_calls = 0;
  for (long k = 0;; ++k) {
    QuantumDAG dag = dag_of(before);
    fail_countdown = k;
    bool threw = false;
    try {
      add(dag, gate);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    const bool failed = fail_countdown < 0;
    fail_countdown = -1;
    if (!failed) break;
    if (!threw) continue;
    ++failed_calls;
    // Nothing of the gate stays: no node, no name, no qubit number.
    EXPECT_EQ(exported(dag), before) << "allocation " << k;
    EXPECT_EQ(dag.store().names().size(), 1u) << "allocation " << k;
    EXPECT_EQ(dag.qubit_table().size(), 1u) << "allocation " << k;
  }
  EXPECT_GT(failed_calls, 2);
}

// Asks to stop at its second line, as a signal's handler does while a line
// is held up; or fails to write it, which is an internal fault.
struct StopAtClosingLine final : ProgressSink {
  bool fault = false;
  int count = 0;
  void line(std::string_view) override {
    if (++count < 2) return;
    if (fault) throw InternalFault("cannot write");
    throw std::runtime_error("stop");
  }
};

TEST(ImportRollback, AStopAtTheClosingLineAddsNoNodeAndAFailedWriteKeepsThem) {
  for (const std::vector<Gate>& before : kBefore) {
    QuantumDAG dag = dag_of(before);
    StopAtClosingLine stop;
    EXPECT_THROW(dag.build_from_ir(two_instructions(), stop), std::runtime_error);
    EXPECT_EQ(exported(dag), before);
    // The names it numbered go too; a graph that took the list's storage
    // keeps none of it, room included.
    EXPECT_EQ(dag.store().names().size(), before.size());
    if (before.empty()) {
      EXPECT_EQ(dag.store().node_capacity(), 0u);
    }
    // The qubits it numbered are forgotten too: the graph goes on as if the
    // import never came.
    CountedLines lines;
    dag.build_from_ir(two_instructions(), lines);
    QuantumDAG fresh = dag_of(before);
    fresh.build_from_ir(two_instructions(), lines);
    EXPECT_EQ(exported(dag), exported(fresh));
    dag.build_schedule();
    fresh.build_schedule();
    EXPECT_EQ(dag.find_idle_windows(0.0).to_vector(), fresh.find_idle_windows(0.0).to_vector());

    QuantumDAG kept = dag_of(before);
    StopAtClosingLine fault;
    fault.fault = true;
    EXPECT_THROW(kept.build_from_ir(two_instructions(), fault), InternalFault);
    EXPECT_EQ(kept.node_count(), before.size() + 2);
  }
}

}  // namespace
}  // namespace velunq::test
