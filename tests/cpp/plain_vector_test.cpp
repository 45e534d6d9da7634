// The pool array: values survive growth, copies are deep, and appending a
// run of the array to itself reads it before the storage moves; room given
// back keeps the values.
#include "graph/plain_vector.hpp"

#include <new>
#include <stdexcept>
#include <vector>

#include "support.hpp"

namespace velunq::test {
namespace {

TEST(PlainVector, KeepsEveryValueThroughGrowthCopiesAndSelfAppends) {
  PlainVector<int> values;
  std::vector<int> expected;
  for (int i = 0; i < 1000; ++i) {
    values.push_back(i);
    expected.push_back(i);
  }
  EXPECT_EQ(std::vector<int>(values.begin(), values.end()), expected);

  // The whole array appended to itself forces a move of its storage.
  while (values.size() < values.capacity()) values.push_back(-1), expected.push_back(-1);
  values.append(values.data(), values.size());
  expected.insert(expected.end(), expected.begin(), expected.end());
  EXPECT_EQ(std::vector<int>(values.begin(), values.end()), expected);

  // A value read from the array itself, at the moment it grows.
  while (values.size() < values.capacity()) values.push_back(-2), expected.push_back(-2);
  values.push_back(values[3]);
  expected.push_back(expected[3]);
  EXPECT_EQ(values.back(), 3);

  // A block appended to be written in place, past the capacity: the values
  // before it stay.
  const std::size_t block = values.capacity() - values.size() + 5;
  int* const tail = values.append_for_overwrite(block);
  EXPECT_EQ(tail, values.data() + expected.size());
  for (std::size_t i = 0; i < block; ++i) tail[i] = static_cast<int>(i), expected.push_back(static_cast<int>(i));
  EXPECT_EQ(std::vector<int>(values.begin(), values.end()), expected);

  PlainVector<int> copy = values;
  values.resize(2);
  values.push_back(7);
  EXPECT_EQ(std::vector<int>(copy.begin(), copy.end()), expected);
  values.resize(5);  // growing again fills with zeros, not old values
  EXPECT_EQ(std::vector<int>(values.begin(), values.end()), (std::vector<int>{0, 1, 7, 0, 0}));

  PlainVector<int> moved = std::move(copy);
  EXPECT_EQ(moved.size(), expected.size());
  EXPECT_TRUE(copy.empty());
  copy = moved;
  EXPECT_EQ(std::vector<int>(copy.begin(), copy.end()), expected);

  // Giving back the room past the size keeps the values, and the array
  // grows again from there; an empty one gives back everything.
  copy.reserve(4 * copy.size());
  copy.shrink_to_fit();
  EXPECT_EQ(copy.capacity(), expected.size());
  EXPECT_EQ(std::vector<int>(copy.begin(), copy.end()), expected);
  copy.push_back(9);
  EXPECT_EQ(copy.back(), 9);
  moved.resize(0);
  moved.shrink_to_fit();
  EXPECT_EQ(moved.capacity(), 0u);
  moved.push_back(4);
  EXPECT_EQ(std::vector<int>(moved.begin(), moved.end()), std::vector<int>{4});
}

TEST(PlainVector, RefusesSizesItCannotHoldAndStaysUsable) {
  PlainVector<double> values;
  values.push_back(1.5);
  // A byte count that would wrap, and one no allocator can give.
  EXPECT_THROW(values.reserve(std::size_t(-1) / 4), std::length_error);
  EXPECT_THROW(values.resize_for_overwrite(std::size_t(-1) / 4), std::length_error);
  EXPECT_THROW(values.reserve(std::size_t{1} << 58), std::bad_alloc);
  EXPECT_THROW(values.resize_for_overwrite(std::size_t{1} << 58), std::bad_alloc);
  EXPECT_EQ(std::vector<double>(values.begin(), values.end()), std::vector<double>{1.5});
  values.resize(0);
  values.push_back(2.5);
  EXPECT_EQ(std::vector<double>(values.begin(), values.end()), std::vector<double>{2.5});
}

}  // namespace
}  // namespace velunq::test
