// PlainVector: a growable array of plain values, for the graph's hot arrays.
//
// Its append is a compare and a store wherever it is called: the qubit pool
// is appended to in the innermost loop of the DD pass, and with std::vector
// whether that append is inlined is the compiler's call, which changes with
// the size of the surrounding code (one such change once cost the pass 5%).
// Only the rare growth is a call. And an array that is rewritten whole can be
// resized without initialising or copying anything.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
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
  PlainVector(const PlainVector& other) { append(other.data(), other.size()); }
  PlainVector& operator=(const PlainVector& other) {
    if (this != &other) {
      size_ = 0;
      append(other.data(), other.size());
    }
    return *this;
  }
  PlainVector(PlainVector&& other) noexcept
      : data_(std::move(other.data_)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  PlainVector& operator=(PlainVector&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
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
      reallocate(grown_capacity(count), first, count);
      return;
    }
    std::copy_n(first, count, data_.get() + size_);
    size_ += count;
  }

  void reserve(std::size_t n) {
    if (n > capacity_) reallocate(n);
  }
  // Makes the size n with the values unspecified until written; the storage
  // is kept if it fits.
  void resize_for_overwrite(std::size_t n) {
    if (n > capacity_) {
      data_ = std::make_unique_for_overwrite<T[]>(n);
      capacity_ = n;
    }
    size_ = n;
  }
  void clear() noexcept { size_ = 0; }
  // Shrinking keeps the storage; growing fills with T{}.
  void resize(std::size_t n) {
    if (n > size_) {
      reserve(n);
      std::fill(data_.get() + size_, data_.get() + n, T{});
    }
    size_ = n;
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_.get(); }
  const T* data() const noexcept { return data_.get(); }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }
  const T& back() const noexcept { return data_[size_ - 1]; }
  T* begin() noexcept { return data_.get(); }
  T* end() noexcept { return data_.get() + size_; }
  const T* begin() const noexcept { return data_.get(); }
  const T* end() const noexcept { return data_.get() + size_; }
  operator std::span<const T>() const noexcept { return {data_.get(), size_}; }

 private:
  [[gnu::noinline]] void grow_by(std::size_t extra) { reallocate(grown_capacity(extra)); }

  // Room for `extra` more, at least doubling; past the largest size the
  // allocator could be asked for it is a std::length_error, as for a vector.
  std::size_t grown_capacity(std::size_t extra) const {
    constexpr std::size_t kMax = std::size_t(-1) / 2 / sizeof(T);
    if (extra > kMax - size_) throw std::length_error("PlainVector: too many entries");
    return std::max(size_ + extra, std::min(kMax, std::max<std::size_t>(2 * capacity_, 8)));
  }

  // Moves the contents to storage of that capacity, then appends `count`
  // values from `first` (read before the old storage goes).
  void reallocate(std::size_t capacity, const T* first = nullptr, std::size_t count = 0) {
    std::unique_ptr<T[]> data = std::make_unique_for_overwrite<T[]>(capacity);
    std::copy_n(data_.get(), size_, data.get());
    std::copy_n(first, count, data.get() + size_);
    data_ = std::move(data);
    size_ += count;
    capacity_ = capacity;
  }

  std::unique_ptr<T[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace velunq
