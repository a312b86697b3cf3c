// Small helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace TvrFuzz {

// Takes the fuzzer's bytes apart: a few leading bytes steer the target, the rest is the
// data under test.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  // Up to `count` bytes as text.
  std::string Take(size_t count) {
    if (count > size_) count = size_;
    std::string out(reinterpret_cast<const char*>(data_), count);
    data_ += count;
    size_ -= count;
    return out;
  }
  std::string Rest() { return Take(size_); }
  const uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

// A property the target checks (a round trip): a broken one is a finding like a crash.
inline void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
  }
}

}  // namespace TvrFuzz
