// Internal faults: one raised with a literal message needs no memory, so it
// survives an exhausted heap as itself; one with a message made at run time
// keeps it through copies.
#include "graph/fault.hpp"

#include <cstdlib>
#include <new>
#include <string>

#include "support.hpp"

namespace {

// While set, this thread's `operator new` fails as on an exhausted heap.
thread_local bool refuse_allocations = false;

}  // namespace

void* operator new(std::size_t size) {
  if (refuse_allocations) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The compiler sees `free` on memory from `new` once these are inlined; here
// `new` is malloc, so the pair matches.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace velunq::test {
namespace {

TEST(InternalFault, ALiteralMessageIsRaisedAsItselfWithTheHeapExhausted) {
  refuse_allocations = true;
  EXPECT_THROW((void)std::string(64, 'x'), std::bad_alloc);  // the switch works
  const char* caught = nullptr;
  unsigned line = 0;
  try {
    throw InternalFault("Python API call failed");
  } catch (const InternalFault& fault) {
    caught = fault.what();
    line = fault.where().line();
  } catch (const std::bad_alloc&) {
  }
  refuse_allocations = false;
  ASSERT_NE(caught, nullptr);
  EXPECT_STREQ(caught, "Python API call failed");
  EXPECT_GT(line, 0u);
}

TEST(InternalFault, AMessageMadeAtRunTimeOutlivesItsSourceInEveryCopy) {
  std::string text = "failed printing to stdout: ";
  text += std::to_string(28);
  InternalFault first(text);
  text.assign(100, '?');
  const InternalFault copy = first;
  first = InternalFault("other");
  EXPECT_STREQ(copy.what(), "failed printing to stdout: 28");
  EXPECT_STREQ(first.what(), "other");
}

}  // namespace
}  // namespace velunq::test
