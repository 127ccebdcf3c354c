// bench agent DLL AGENT: how long the pre-uninstall action holds the caller.
//
// Starts the test agent (tests/wine/tools/agent.cpp: one window of class
// "VLD_CLASS" that closes at once on WM_CLOSE, or never) as a process of its
// own, waits until its window is up and its message loop idle, then times
// the call of the module's _PreUninsTMK@4 with the performance counter, from
// just before the call to just after its return. Also times the call with
// no agent at all. Each run checks what the action must have done: with an
// agent that closes, its window is gone on return; with one that never
// closes, it is still there.

#include <windows.h>
#include <msi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_common.h"

namespace {

constexpr char kBench[] = "agent";
constexpr char kClass[] = "VLD_CLASS";
constexpr double kTimeBoundMs = 2000.0;

struct Agent {
  PROCESS_INFORMATION process{};
  HWND window = nullptr;
};

Agent StartAgent(const char* exe, const char* mode) {
  if (FindWindowA(kClass, nullptr) != nullptr) {
    bench::Fail("a window of class %s is up before the agent was started", kClass);
  }
  // The agent reports on stdout; nothing here reads it.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = nul;
  startup.hStdError = nul;
  // The agent's own life limit ends a hung one even if this process dies.
  std::string command = std::string("\"") + exe + "\" " + mode + " --life 20000";
  Agent agent;
  if (!CreateProcessA(exe, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &agent.process)) {
    bench::Fail("starting %s failed: %lu", exe, GetLastError());
  }
  CloseHandle(nul);
  const double deadline = bench::NowMs() + 30000.0;
  while ((agent.window = FindWindowA(kClass, nullptr)) == nullptr) {
    if (WaitForSingleObject(agent.process.hProcess, 0) == WAIT_OBJECT_0) {
      bench::Fail("the agent ended before its window was up");
    }
    if (bench::NowMs() > deadline) bench::Fail("the agent's window was not up after 30 s");
    Sleep(5);
  }
  // Its message loop is waiting for input once it is idle; a short pause
  // more lets whatever the new window set off settle.
  WaitForInputIdle(agent.process.hProcess, 5000);
  Sleep(100);
  return agent;
}

void EndAgent(Agent& agent, bool expect_exit) {
  if (WaitForSingleObject(agent.process.hProcess, expect_exit ? 10000 : 0) != WAIT_OBJECT_0) {
    if (expect_exit) bench::Fail("the agent did not end after its window went");
    TerminateProcess(agent.process.hProcess, 1);
    WaitForSingleObject(agent.process.hProcess, 10000);
  }
  CloseHandle(agent.process.hThread);
  CloseHandle(agent.process.hProcess);
  // The window goes with its thread; wait until the window manager agrees.
  const double deadline = bench::NowMs() + 10000.0;
  while (FindWindowA(kClass, nullptr) != nullptr) {
    if (bench::NowMs() > deadline) bench::Fail("the agent's window outlived its process");
    Sleep(10);
  }
}

double TimedCall(bench::CustomAction action) {
  const double start = bench::NowMs();
  const UINT result = action(0);
  const double elapsed = bench::NowMs() - start;
  if (result != 0) bench::Fail("_PreUninsTMK@4 returned %u", result);
  return elapsed;
}

}  // namespace

int AgentBench(int argc, char** argv) {
  const char* dll = nullptr;
  const char* agent_exe = nullptr;
  int close_runs = 20;
  int hung_runs = 5;
  int absent_runs = 20;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--close-runs") == 0 && i + 1 < argc) {
      close_runs = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--hung-runs") == 0 && i + 1 < argc) {
      hung_runs = std::atoi(argv[++i]);
    } else if (argv[i][0] != '-' && dll == nullptr) {
      dll = argv[i];
    } else if (argv[i][0] != '-' && agent_exe == nullptr) {
      agent_exe = argv[i];
    } else {
      dll = nullptr;
      break;
    }
  }
  if (dll == nullptr || agent_exe == nullptr || close_runs < 1 || hung_runs < 1) {
    bench::Fail("usage: bench agent DLL AGENT_EXE [--close-runs N] [--hung-runs N]");
  }

  const bench::CustomAction action = bench::LoadAction(dll, "_PreUninsTMK@4");

  // No agent: the action finds no window and returns.
  std::vector<double> absent;
  for (int run = 0; run < absent_runs; ++run) {
    if (FindWindowA(kClass, nullptr) != nullptr) bench::Fail("a %s window is up", kClass);
    absent.push_back(TimedCall(action));
  }

  // An agent that destroys its window as soon as WM_CLOSE arrives.
  std::vector<double> close;
  for (int run = 0; run < close_runs; ++run) {
    Agent agent = StartAgent(agent_exe, "close");
    close.push_back(TimedCall(action));
    if (IsWindow(agent.window)) bench::Fail("the action returned with the window still up");
    EndAgent(agent, true);
  }

  // An agent that never destroys it: the action gives up at its time bound.
  std::vector<double> hung, overshoot;
  for (int run = 0; run < hung_runs; ++run) {
    Agent agent = StartAgent(agent_exe, "ignore");
    const double elapsed = TimedCall(action);
    if (!IsWindow(agent.window)) bench::Fail("the agent that ignores WM_CLOSE lost its window");
    hung.push_back(elapsed);
    overshoot.push_back(elapsed - kTimeBoundMs);
    EndAgent(agent, false);
  }

  bench::Samples(kBench, "absent_ms", absent);
  bench::Samples(kBench, "close_ms", close);
  bench::Samples(kBench, "hung_ms", hung);
  bench::Result(kBench, "absent_runs", absent_runs);
  bench::Result(kBench, "absent_median_ms", bench::Median(absent));
  bench::Result(kBench, "close_runs", close_runs);
  bench::Result(kBench, "close_median_ms", bench::Median(close));
  bench::Result(kBench, "close_max_ms", bench::Max(close));
  bench::Result(kBench, "hung_runs", hung_runs);
  bench::Result(kBench, "hung_median_ms", bench::Median(hung));
  bench::Result(kBench, "overshoot_median_ms", bench::Median(overshoot));
  bench::Result(kBench, "overshoot_min_ms", bench::Min(overshoot));
  bench::Result(kBench, "overshoot_max_ms", bench::Max(overshoot));
  return 0;
}
