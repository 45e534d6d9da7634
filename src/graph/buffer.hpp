// Buffer: an array of plain values whose contents are written before they
// are read, so that growing it never pays for initialising them. Its storage
// is kept across resizes that fit.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <type_traits>

namespace velunq {

template <class T>
class Buffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Buffer() = default;
  Buffer(const Buffer& other) { *this = other; }
  Buffer& operator=(const Buffer& other) {
    if (this != &other) {
      resize_for_overwrite(other.size_);
      std::copy(other.begin(), other.end(), begin());
    }
    return *this;
  }
  Buffer(Buffer&&) noexcept = default;
  Buffer& operator=(Buffer&&) noexcept = default;

  // Makes the size n; the values are unspecified until written.
  void resize_for_overwrite(std::size_t n) {
    if (n > capacity_) {
      data_ = std::make_unique_for_overwrite<T[]>(n);
      capacity_ = n;
    }
    size_ = n;
  }
  void clear() noexcept { size_ = 0; }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_.get(); }
  const T* data() const noexcept { return data_.get(); }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_.get(); }
  T* end() noexcept { return data_.get() + size_; }
  const T* begin() const noexcept { return data_.get(); }
  const T* end() const noexcept { return data_.get() + size_; }

 private:
  std::unique_ptr<T[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace velunq
