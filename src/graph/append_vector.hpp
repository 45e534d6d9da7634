// AppendVector: a growable array of plain values whose append is a compare
// and a store wherever it is called.
//
// The graph's pools are appended to in the innermost loops of its passes.
// With std::vector, whether that append is inlined is the compiler's call,
// and it changes with the size of the surrounding code: one such change once
// cost a pass 5%. Here only the rare growth is a call.
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
class AppendVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  AppendVector() = default;
  AppendVector(const AppendVector& other) { append(other.data(), other.size()); }
  AppendVector& operator=(const AppendVector& other) {
    if (this != &other) {
      size_ = 0;
      append(other.data(), other.size());
    }
    return *this;
  }
  AppendVector(AppendVector&& other) noexcept
      : data_(std::move(other.data_)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  AppendVector& operator=(AppendVector&& other) noexcept {
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
    if (extra > kMax - size_) throw std::length_error("AppendVector: too many entries");
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
