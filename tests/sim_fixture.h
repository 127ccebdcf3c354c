#pragma once
// Every test starts from a fresh stand-in and ends with every key it opened
// closed, each exactly once.

#include <gtest/gtest.h>

#include "sim/sim.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
  void TearDown() override {
    EXPECT_TRUE(sim::OpenHandles().empty()) << "keys left open";
    EXPECT_EQ(sim::BadCloses(), 0u) << "a key closed twice or never opened";
  }
};

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> bytes;
  for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
  return bytes;
}
