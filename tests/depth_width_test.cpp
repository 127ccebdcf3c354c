// Tree deletion at the extremes: very deep, very wide, and a subkey whose
// name does not fit the 256-character name buffer somewhere inside the tree.
// Under the host-asan preset a write past a name buffer on the stack is an
// error of its own, so these also show that nothing overruns one.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "registry/reg_key_handle.h"
#include "sim_fixture.h"

namespace {

using DepthAndWidth = SimTest;
using Lines = std::vector<std::string>;

// The most keys the module held open at once, read from the journal.
std::size_t PeakOpenKeys() {
  std::size_t open = 0, peak = 0;
  for (const sim::Call& call : sim::Journal()) {
    if (call.function == "RegOpenKeyExA" && call.result == "0") {
      peak = std::max(peak, ++open);
    } else if (call.function == "RegCloseKey" && call.Arg(0).rfind('h', 0) == 0) {
      --open;
    }
  }
  return peak;
}

std::size_t CountCalls(const std::string& function) {
  return sim::JournalText(function).size();
}

TEST_F(DepthAndWidth, FiveHundredTwelveLevelsGoCompletely) {
  constexpr int kLevels = 512;
  std::string path = "Software\\Deep";
  for (int level = 1; level <= kLevels; ++level) {
    path += "\\L" + std::to_string(level);
    if (level % 64 == 0) sim::PutString(RootKey::LocalMachine, path, "V", "x");
  }
  sim::CreateKey(RootKey::LocalMachine, path);
  sim::CreateKey(RootKey::LocalMachine, "Software\\Deep2\\Kept");

  EXPECT_EQ(DeleteTreeUnderRoot(HKEY_LOCAL_MACHINE, "Software\\Deep"), ERROR_SUCCESS);

  EXPECT_EQ(sim::Dump(RootKey::LocalMachine),
            (Lines{"", "\\Software", "\\Software\\Deep2", "\\Software\\Deep2\\Kept"}));
  // One open, delete and close per key; two listings per key with a subkey
  // (the subkey, then the end) and one for the deepest.
  EXPECT_EQ(CountCalls("RegOpenKeyExA"), kLevels + 1u);
  EXPECT_EQ(CountCalls("RegDeleteKeyA"), kLevels + 1u);
  EXPECT_EQ(CountCalls("RegEnumKeyExA"), 2u * kLevels + 1u);
  // Every level holds its key while the levels below it work: the open keys
  // grow with the depth, one per level, and no more.
  EXPECT_EQ(PeakOpenKeys(), kLevels + 1u);
}

TEST_F(DepthAndWidth, TenThousandSubkeysGoCompletely) {
  constexpr int kWidth = 10000;
  for (int i = 0; i < kWidth; ++i) {
    sim::PutString(RootKey::LocalMachine, "Software\\Wide\\K" + std::to_string(i), "V",
                   std::to_string(i));
  }
  sim::CreateKey(RootKey::LocalMachine, "Software\\Wider");

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(DeleteTreeUnderRoot(HKEY_LOCAL_MACHINE, "Software\\Wide"), ERROR_SUCCESS);
  const double ms = std::chrono::duration<double, std::milli>(
                        std::chrono::steady_clock::now() - start)
                        .count();

  EXPECT_EQ(sim::Dump(RootKey::LocalMachine),
            (Lines{"", "\\Software", "\\Software\\Wider"}));
  EXPECT_EQ(CountCalls("RegDeleteKeyA"), kWidth + 1u);
  // No list is collected: the subkeys are read one at a time, always at index
  // 0, and at most two keys are open at any moment.
  std::size_t listings = 0;
  for (const sim::Call& call : sim::Journal()) {
    if (call.function != "RegEnumKeyExA") continue;
    ++listings;
    ASSERT_EQ(call.Arg(1), "0") << call.Text();
  }
  EXPECT_EQ(listings, 2u * kWidth + 1u);
  EXPECT_EQ(PeakOpenKeys(), 2u);
  std::printf("[ width    ] %d subkeys deleted in %.1f ms (%zu platform calls)\n", kWidth,
              ms, sim::CallCount());
  RecordProperty("width_delete_ms", std::to_string(static_cast<long>(ms)));
}

// A subkey name of 256 characters or more, in the middle of a tree: the
// listing of its parent reports ERROR_MORE_DATA, so that parent cannot be
// emptied; its deletion is still tried, is refused as the key is not empty,
// and that refusal ends the whole operation. 255 characters still fit.
TEST_F(DepthAndWidth, LongSubkeyNameInsideATreeStopsItThere) {
  struct Case {
    std::size_t length;
    LONG result;
  };
  for (const Case& c : {Case{255, ERROR_SUCCESS}, Case{256, ERROR_ACCESS_DENIED},
                        Case{300, ERROR_ACCESS_DENIED}}) {
    SCOPED_TRACE(c.length);
    sim::Reset();
    // "m..." lists between "a1" and "z1"; "A" lists before "B".
    const std::string top = "Software\\T";
    const std::string longName = "m" + std::string(c.length - 1, 'x');
    sim::PutString(RootKey::LocalMachine, top + "\\A\\a1", "V", "1");
    sim::PutString(RootKey::LocalMachine, top + "\\A\\" + longName + "\\Below", "V", "2");
    sim::CreateKey(RootKey::LocalMachine, top + "\\A\\z1");
    sim::CreateKey(RootKey::LocalMachine, top + "\\B");

    EXPECT_EQ(DeleteTreeUnderRoot(HKEY_LOCAL_MACHINE, top.c_str()), c.result);

    if (c.result == ERROR_SUCCESS) {
      EXPECT_FALSE(sim::KeyExists(RootKey::LocalMachine, top));
    } else {
      // Listed before the long name: gone. The long name, what lists after
      // it, its parent and everything above and after that: still there.
      EXPECT_EQ(sim::SubkeyNames(RootKey::LocalMachine, top), (Lines{"A", "B"}));
      EXPECT_EQ(sim::SubkeyNames(RootKey::LocalMachine, top + "\\A"),
                (Lines{longName, "z1"}));
      EXPECT_TRUE(sim::KeyExists(RootKey::LocalMachine, top + "\\A\\" + longName + "\\Below"));
      EXPECT_EQ(sim::JournalText("RegDeleteKeyA"),
                (Lines{"RegDeleteKeyA(h2, \"a1\") = 0", "RegDeleteKeyA(h1, \"A\") = 5"}));
      std::size_t tooLong = 0;
      for (const sim::Call& call : sim::Journal()) {
        if (call.function == "RegEnumKeyExA" && call.result == "234") {
          ++tooLong;
          EXPECT_EQ(call.Arg(2), "256") << call.Text();
        }
      }
      EXPECT_EQ(tooLong, 1u);
    }
    EXPECT_TRUE(sim::OpenHandles().empty());
    EXPECT_EQ(sim::BadCloses(), 0u);
  }
}

// The tests above are only as good as the stand-in's listing: it must never
// write more than the capacity it is given, nor anything when the name does
// not fit. Each call gets a buffer with guard bytes after the capacity.
TEST_F(DepthAndWidth, StandInListingsWriteNoMoreThanTheCapacity) {
  constexpr std::size_t kGuard = 64;
  constexpr char kFill = 0x5A;
  struct Case {
    const char* function;
    DWORD capacity;
    std::size_t nameLength;
    LONG result;
  };
  const Case cases[] = {
      {"RegEnumKeyExA", 256, 255, ERROR_SUCCESS},
      {"RegEnumKeyExA", 256, 256, ERROR_MORE_DATA},
      {"RegEnumKeyExA", 256, 300, ERROR_MORE_DATA},
      {"RegEnumKeyExA", 1, 1, ERROR_MORE_DATA},
      {"RegEnumKeyA", 260, 259, ERROR_SUCCESS},
      {"RegEnumKeyA", 260, 260, ERROR_MORE_DATA},
      {"RegEnumKeyA", 260, 300, ERROR_MORE_DATA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.function) + " capacity " + std::to_string(c.capacity) +
                 " name " + std::to_string(c.nameLength));
    sim::Reset();
    const std::string name(c.nameLength, 'n');
    sim::CreateKey(RootKey::LocalMachine, "Software\\P\\" + name);
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\P", 0, kKeyAccess, &parent),
              ERROR_SUCCESS);

    std::vector<char> buffer(c.capacity + kGuard, kFill);
    LONG result;
    if (std::string(c.function) == "RegEnumKeyExA") {
      DWORD size = c.capacity;
      FILETIME lastWrite;
      result = RegEnumKeyExA(parent, 0, buffer.data(), &size, nullptr, nullptr, nullptr,
                             &lastWrite);
      if (result == ERROR_SUCCESS) {
        EXPECT_EQ(size, c.nameLength);
      }
    } else {
      result = RegEnumKeyA(parent, 0, buffer.data(), c.capacity);
    }
    EXPECT_EQ(result, c.result);
    if (result == ERROR_SUCCESS) {
      EXPECT_EQ(std::string(buffer.data()), name);
    }
    const std::size_t untouchedFrom = result == ERROR_SUCCESS ? c.nameLength + 1 : 0;
    for (std::size_t i = untouchedFrom; i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], kFill) << "byte " << i << " written";
    }
    EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
  }
}

}  // namespace
