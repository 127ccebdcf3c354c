#pragma once
// Every test starts from a fresh stand-in and ends with every key it opened
// closed, each exactly once.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/sim.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
  void TearDown() override {
    EXPECT_TRUE(sim::OpenHandles().empty()) << "keys left open";
    EXPECT_EQ(sim::BadCloses(), 0u) << "a key closed twice or never opened";
  }
};

// The first or the last `count` lines, or all of them when there are fewer:
// comparing these with the lines expected reports a short journal as a
// difference rather than reading past its end.
inline std::vector<std::string> Head(const std::vector<std::string>& lines,
                                     std::size_t count) {
  return {lines.begin(), lines.begin() + std::min(count, lines.size())};
}
inline std::vector<std::string> Tail(const std::vector<std::string>& lines,
                                     std::size_t count) {
  return {lines.end() - std::min(count, lines.size()), lines.end()};
}

// The names RegEnumKeyExA lists under `key`, index by index until it says
// no; each reported length must be the length of the name written.
inline std::vector<std::string> ListSubkeys(HKEY key) {
  std::vector<std::string> names;
  char name[260];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    FILETIME written;
    if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, &written) !=
        ERROR_SUCCESS) {
      return names;
    }
    EXPECT_EQ(size, std::string(name).size()) << "listed length of " << name;
    names.push_back(name);
  }
}

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> bytes;
  for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
  return bytes;
}
