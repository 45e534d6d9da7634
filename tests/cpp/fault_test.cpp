// Internal faults: one raised with a literal message cannot fail, so it
// survives an exhausted heap as itself; one with a message made at run time
// keeps it through copies, which cannot fail either.
#include "graph/fault.hpp"

#include <string>
#include <type_traits>

#include "support.hpp"

namespace velunq::test {
namespace {

// Raising with a literal allocates nothing: were it to allocate, its
// constructor could not be noexcept. (A runtime_error's is not.)
static_assert(std::is_nothrow_constructible_v<InternalFault, const char (&)[23]>);
static_assert(!std::is_nothrow_constructible_v<InternalFault, std::string>);
static_assert(std::is_nothrow_copy_constructible_v<InternalFault>);
static_assert(std::is_nothrow_copy_assignable_v<InternalFault>);

TEST(InternalFault, KeepsItsMessageAndPlaceThroughCopies) {
  std::string text = "failed printing to stdout: ";
  text += std::to_string(28);
  InternalFault made(text);
  const unsigned made_at = __LINE__ - 1;
  text.assign(100, '?');
  const InternalFault copy = made;
  made = InternalFault("Python API call failed");
  EXPECT_STREQ(copy.what(), "failed printing to stdout: 28");
  EXPECT_STREQ(made.what(), "Python API call failed");
  EXPECT_EQ(copy.where().line(), made_at);
  EXPECT_STREQ(made.where().file_name(), __FILE__);
}

}  // namespace
}  // namespace velunq::test
