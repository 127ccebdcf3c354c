// The byte fill that stands behind memset in the builds without a C runtime:
// exactly the bytes asked for, the low byte of the value, and not one byte
// beyond.

#include "module/fill_bytes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>

namespace {

constexpr unsigned char kUntouched = 0xAB;
constexpr std::size_t kGuard = 8;

struct FillCase {
  const char* what;
  int value;
  std::size_t offset;
  std::size_t count;
  unsigned char expected;
};

// The sweeps zero-fill 260-character buffers; the rest covers the edges.
constexpr FillCase kCases[] = {
    {"zero fill of a 260-character buffer", 0, 0, 260, 0x00},
    {"the value's low byte only", 0x1FF, 0, 260, 0xFF},
    {"a negative value", -2, 0, 17, 0xFE},
    {"an odd start and length", 0x5A, 3, 13, 0x5A},
    {"one byte", 0, 100, 1, 0x00},
    {"nothing", 0, 0, 0, 0x00},
};

TEST(FillBytes, FillsExactlyTheBytesAskedFor) {
  for (const FillCase& c : kCases) {
    SCOPED_TRACE(c.what);
    std::array<unsigned char, kGuard + 260 + kGuard> buffer;
    buffer.fill(kUntouched);
    unsigned char* const dest = buffer.data() + kGuard + c.offset;

    EXPECT_EQ(FillBytes(dest, c.value, c.count), dest);

    for (std::size_t i = 0; i < buffer.size(); ++i) {
      const bool inside = i >= kGuard + c.offset && i < kGuard + c.offset + c.count;
      ASSERT_EQ(buffer[i], inside ? c.expected : kUntouched) << "byte " << i;
    }
  }
}

}  // namespace
