// The pre-uninstall action: one post of WM_CLOSE to the agent's window, then
// polling every 50 ms until the window is gone or 2000 ms have passed.

#include <cmath>

#include "actions/actions.h"
#include "sim_fixture.h"

namespace {

using AgentShutdown = SimTest;
using Lines = std::vector<std::string>;

struct ShortScenario {
  const char* what;
  bool window;
  sim::AgentReply reply;
  DWORD delayMs;
  Lines expected;
};

TEST_F(AgentShutdown, ShortWaitsMakeExactlyTheseCalls) {
  const ShortScenario scenarios[] = {
      {"no agent window", false, sim::AgentReply::Never, 0,
       {"FindWindowA(\"VLD_CLASS\", null) = null"}},
      {"window gone at the first check", true, sim::AgentReply::AtOnce, 0,
       {"FindWindowA(\"VLD_CLASS\", null) = w1", "GetTickCount() = 5000",
        "PostMessageA(w1, 16, 0, 0) = 1", "IsWindow(w1) = 0"}},
      {"destroyed during the first sleep", true, sim::AgentReply::AfterDelay, 30,
       {"FindWindowA(\"VLD_CLASS\", null) = w1", "GetTickCount() = 5000",
        "PostMessageA(w1, 16, 0, 0) = 1", "IsWindow(w1) = 1", "GetTickCount() = 5000",
        "Sleep(50)", "IsWindow(w1) = 0"}},
      {"destroyed during the third sleep", true, sim::AgentReply::AfterDelay, 120,
       {"FindWindowA(\"VLD_CLASS\", null) = w1", "GetTickCount() = 5000",
        "PostMessageA(w1, 16, 0, 0) = 1", "IsWindow(w1) = 1", "GetTickCount() = 5000",
        "Sleep(50)", "IsWindow(w1) = 1", "GetTickCount() = 5050", "Sleep(50)",
        "IsWindow(w1) = 1", "GetTickCount() = 5100", "Sleep(50)", "IsWindow(w1) = 0"}},
  };
  for (const ShortScenario& s : scenarios) {
    for (MSIHANDLE install : {0u, 0xFFFFFFFFu}) {
      sim::Reset();
      sim::SetTickCount(5000);
      if (s.window) sim::SetAgent(sim::AddWindow("VLD_CLASS"), s.reply, s.delayMs);
      EXPECT_EQ(PreUninsTMK(install), 0u) << s.what;
      EXPECT_EQ(sim::JournalText(), s.expected) << s.what << ", handle " << install;
    }
  }
}

// The wait that runs to its limit: after k sleeps of `perSleep` ms the
// elapsed time is k * perSleep, and the loop ends at the first reading that
// is 2000 ms or more past the start.
TEST_F(AgentShutdown, HungAgentIsGivenUpAfterTheLimitAlsoAcrossTheWrap) {
  struct Case {
    DWORD startTick;
    DWORD schedulerDelay;
  };
  const Case cases[] = {
      {0, 0},           {123456, 0},      {0xFFFFFFFFu - 999, 0}, {0xFFFFFFFFu, 0},
      {0xFFFFFFFFu - 1999, 0},            {1000, 7},              {0xFFFFFFFFu - 30, 13},
      {0xFFFFFFFFu - 2000, 49},
  };
  for (const Case& c : cases) {
    sim::Reset();
    sim::SetTickCount(c.startTick);
    sim::SetSchedulerDelay(c.schedulerDelay);
    HWND agent = sim::AddWindow("VLD_CLASS");
    EXPECT_EQ(PreUninsTMK(1), 0u);

    const DWORD perSleep = 50 + c.schedulerDelay;
    const auto expectedSleeps = static_cast<std::size_t>(std::ceil(2000.0 / perSleep));
    const std::string context =
        "start " + std::to_string(c.startTick) + ", delay " + std::to_string(c.schedulerDelay);
    EXPECT_EQ(sim::JournalText("Sleep").size(), expectedSleeps) << context;
    EXPECT_EQ(sim::ElapsedMs(), expectedSleeps * perSleep) << context;
    EXPECT_EQ(sim::JournalText("PostMessageA").size(), 1u) << context;
    EXPECT_TRUE(sim::WindowExists(agent));

    // Every poll is IsWindow, tick, sleep; the last tick reading ends it.
    const auto& journal = sim::Journal();
    ASSERT_EQ(journal.size(), 3 + 3 * expectedSleeps + 2) << context;
    for (std::size_t i = 3; i < journal.size(); ++i) {
      const char* expected[] = {"IsWindow", "GetTickCount", "Sleep"};
      EXPECT_EQ(journal[i].function, expected[(i - 3) % 3]) << context << " call " << i;
    }
    EXPECT_EQ(journal.back().function, "GetTickCount");
  }
}

TEST_F(AgentShutdown, OnlyTheWindowFoundFirstIsPostedToAndWatched) {
  HWND older = sim::AddWindow("VLD_CLASS");
  HWND found = sim::AddWindow("vld_class");
  sim::AddWindow("Other");
  // The found window goes; the older one of the same class is never looked
  // at again, so the action does not wait for it.
  sim::SetAgent(found, sim::AgentReply::AfterDelay, 60);
  EXPECT_EQ(PreUninsTMK(0), 0u);
  EXPECT_EQ(sim::MessagesTo(found), std::vector<UINT>{WM_CLOSE});
  EXPECT_TRUE(sim::MessagesTo(older).empty());
  EXPECT_TRUE(sim::WindowExists(older));
  for (const sim::Call& call : sim::Journal()) {
    if (call.function == "PostMessageA" || call.function == "IsWindow") {
      EXPECT_EQ(call.Arg(0), "w2") << call.Text();
    }
  }
  EXPECT_EQ(sim::JournalText("Sleep").size(), 2u);
}

TEST_F(AgentShutdown, FailedPostLeadsIntoTheSameBoundedWait) {
  HWND agent = sim::AddWindow("VLD_CLASS");
  sim::SetAgent(agent, sim::AgentReply::AtOnce);
  sim::FailCall(3, 0);  // FindWindowA, GetTickCount, then the post
  EXPECT_EQ(PreUninsTMK(0), 0u);
  EXPECT_TRUE(sim::MessagesTo(agent).empty());
  EXPECT_EQ(sim::JournalText("Sleep").size(), 40u);
  EXPECT_EQ(sim::JournalText("PostMessageA").size(), 1u) << "no second post";
}

TEST_F(AgentShutdown, AgentThatClosesFromItsOwnHandler) {
  HWND agent = sim::AddWindow("VLD_CLASS");
  int closes = 0;
  sim::SetAgent(agent, [&closes](HWND window) {
    ++closes;
    sim::DestroyWindow(window);
  });
  EXPECT_EQ(PreUninsTMK(0), 0u);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(sim::JournalText("Sleep").empty());
}

}  // namespace
