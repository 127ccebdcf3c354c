#pragma once
// Random registries for comparing the module with the reference model: 1 to
// 8 user hives (some with names near the 260-character limit), random trees
// under the paths the uninstall deletes and beside them, names of 1 to 300
// characters, values, and refused opens and deletions here and there.
//
// The randomness comes from an Entropy: a seeded generator for the fixed
// runs of the test suite, or the fuzzer's input bytes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/random/reference_model.h"

namespace randreg {

class Entropy {
 public:
  virtual ~Entropy() = default;
  // A number from 0 to n - 1 (0 when n is 0 or 1).
  virtual std::uint32_t Draw(std::uint32_t n) = 0;
  bool OneIn(std::uint32_t n) { return Draw(n) == 0; }
  std::uint32_t Between(std::uint32_t low, std::uint32_t high) {
    return low + Draw(high - low + 1);
  }
};

// SplitMix64: the same cases for the same seed on every machine.
class SeededEntropy : public Entropy {
 public:
  explicit SeededEntropy(std::uint64_t seed) : state_(seed) {}
  std::uint32_t Draw(std::uint32_t n) override;

 private:
  std::uint64_t state_;
};

// Reads the fuzzer's bytes, one to four per draw; all zeros once they run out.
class BytesEntropy : public Entropy {
 public:
  BytesEntropy(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint32_t Draw(std::uint32_t n) override;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t used_ = 0;
};

// The hive that sim::Reset() always leaves under HKEY_USERS; every case
// keeps it as one of its hives.
inline constexpr const char* kResetHive = "S-1-5-21-1-2-3-1001";

struct Case {
  refmodel::Registry registry;
  int guardStates[2] = {0, 0};  // what the two component queries answer
  // One tree deletion for the cases that check DeleteTreeUnderRoot alone.
  refmodel::Start treeStart = refmodel::Start::Machine;
  std::string treePath;
};

Case Generate(Entropy& entropy);

// Resets the stand-in and gives it the case's registry and refusals.
void SeedStandIn(const refmodel::Registry& registry);

// A short readable account of a case, for a failure message.
std::string Describe(const Case& c);

}  // namespace randreg
