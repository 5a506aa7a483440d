// A zero-filled byte buffer whose data starts on a page boundary. The kernel
// copies file and device data into such a buffer several times faster than
// into one a few bytes past a page start (where a large std::vector lands).
#pragma once
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <utility>

class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  // Throws std::bad_alloc when the memory cannot be had.
  explicit AlignedBuffer(std::size_t bytes) : size_(bytes) {
    if (bytes == 0) return;
    const std::size_t page = PageSize();
    // aligned_alloc wants the size to be a multiple of the alignment.
    const std::size_t rounded = (bytes + page - 1) / page * page;
    if (rounded < bytes) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(std::aligned_alloc(page, rounded));
    if (!data_) throw std::bad_alloc();
    std::memset(data_, 0, bytes);
  }
  ~AlignedBuffer() { std::free(data_); }

  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  AlignedBuffer(AlignedBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::uint8_t& operator[](std::size_t i) { return data_[i]; }
  const std::uint8_t& operator[](std::size_t i) const { return data_[i]; }
  std::span<std::uint8_t> span() { return {data_, size_}; }
  std::span<const std::uint8_t> span() const { return {data_, size_}; }
  operator std::span<std::uint8_t>() { return span(); }
  operator std::span<const std::uint8_t>() const { return span(); }

  static std::size_t PageSize() {
    static const std::size_t page = [] {
      const long p = ::sysconf(_SC_PAGESIZE);
      return p > 0 ? static_cast<std::size_t>(p) : std::size_t{4096};
    }();
    return page;
  }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};
