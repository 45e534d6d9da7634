// A failed import adds none of its nodes: each allocation through operator
// new in build_from_ir (names, the qubit table, progress text) is made to
// fail in turn (the graph's columns and the qubits' numbers for them take
// malloc and realloc, which are not counted here), and a stop is asked for
// at the closing progress line; into an empty graph and into one with nodes.
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
      } else {
        EXPECT_EQ(dag.node_count(), before.size() + 2) << "allocation " << k;
      }
    }
    EXPECT_GT(failed_calls, 0);
  }
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
    if (before.empty()) {
      // It took the list's storage: none of it stays, names and room alike.
      EXPECT_TRUE(dag.store().names().empty());
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
