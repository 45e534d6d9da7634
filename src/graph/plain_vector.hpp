// PlainVector: a growable array of plain values, for the graph's hot arrays.
//
// Its append is a compare and a store wherever it is called: the qubit pool
// is appended to in the innermost loop of the DD pass, and with std::vector
// whether that append is inlined is the compiler's call, which changes with
// the size of the surrounding code (one such change once cost the pass 5%).
// Only the rare growth is a call, and it goes through realloc, which moves a
// large array by remapping its pages rather than copying it into fresh ones.
// An array that is rewritten whole can be resized without initialising or
// copying anything.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace velunq {

template <class T>
class PlainVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PlainVector() = default;
  ~PlainVector() { std::free(data_); }
  PlainVector(const PlainVector& other) { append(other.data(), other.size()); }
  PlainVector& operator=(const PlainVector& other) {
    if (this != &other) {
      size_ = 0;
      append(other.data(), other.size());
    }
    return *this;
  }
  PlainVector(PlainVector&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  PlainVector& operator=(PlainVector&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }

  // Takes the value by copy: it may live in this very array.
  [[gnu::always_inline]] void push_back(T value) {
    if (size_ == capacity_) [[unlikely]] grow_by(1);
    data_[size_++] = value;
  }
  // `first` may point into this very array.
  void append(const T* first, std::size_t count) {
    if (count > capacity_ - size_) {
      const bool ours = std::greater_equal<const T*>{}(first, data_) && std::less<const T*>{}(first, data_ + size_);
      const std::size_t offset = ours ? static_cast<std::size_t>(first - data_) : 0;
      grow_by(count);
      if (ours) first = data_ + offset;
    }
    std::copy_n(first, count, data_ + size_);
    size_ += count;
  }

  void reserve(std::size_t n) {
    if (n > capacity_) reallocate(n);
  }
  // Makes the size n with the values unspecified until written; the storage
  // is kept if it fits, and nothing is copied if it does not. On failure the
  // array is as it was.
  void resize_for_overwrite(std::size_t n) {
    if (n > capacity_) {
      T* const data = allocate(n);
      std::free(data_);
      data_ = data;
      capacity_ = n;
    }
    size_ = n;
  }
  // Adds `count` entries, unspecified until written, and returns the first.
  T* append_for_overwrite(std::size_t count) {
    if (count > capacity_ - size_) grow_by(count);
    T* const first = data_ + size_;
    size_ += count;
    return first;
  }
  // Gives back the storage past the size where the allocator shrinks it (in
  // place, for the C allocator); keeps it all where it does not.
  void shrink_to_fit() noexcept {
    if (capacity_ == size_) return;
    if (size_ == 0) {
      std::free(std::exchange(data_, nullptr));
      capacity_ = 0;
      return;
    }
    if (void* const data = std::realloc(data_, size_ * sizeof(T))) {
      data_ = static_cast<T*>(data);
      capacity_ = size_;
    }
  }
  // Shrinking keeps the storage; growing fills with T{}.
  void resize(std::size_t n) {
    if (n > size_) {
      reserve(n);
      std::fill(data_ + size_, data_ + n, T{});
    }
    size_ = n;
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }
  const T& back() const noexcept { return data_[size_ - 1]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  operator std::span<const T>() const noexcept { return {data_, size_}; }

 private:
  // The most entries whose bytes the allocator could be asked for.
  static constexpr std::size_t kMax = std::size_t(-1) / 2 / sizeof(T);

  // Room for `extra` more, at least doubling.
  [[gnu::noinline]] void grow_by(std::size_t extra) {
    if (extra > kMax - size_) throw std::length_error("PlainVector: too many entries");
    reallocate(std::max(size_ + extra, std::min(kMax, std::max<std::size_t>(2 * capacity_, 8))));
  }

  // Through the C allocator's realloc: a large array is moved by remapping
  // its pages, not by copying them into fresh ones. On failure the array is
  // as it was.
  void reallocate(std::size_t capacity) {
    check_capacity(capacity);
    void* const data = std::realloc(data_, capacity * sizeof(T));
    if (!data) throw std::bad_alloc();
    data_ = static_cast<T*>(data);
    capacity_ = capacity;
  }
  static T* allocate(std::size_t capacity) {
    check_capacity(capacity);
    void* const data = std::malloc(capacity * sizeof(T));
    if (!data) throw std::bad_alloc();
    return static_cast<T*>(data);
  }
  // Past kMax the byte count would wrap: a std::length_error, as for a vector.
  static void check_capacity(std::size_t capacity) {
    if (capacity > kMax) throw std::length_error("PlainVector: too many entries");
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace velunq
