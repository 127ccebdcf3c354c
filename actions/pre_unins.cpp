// Before uninstall: asks the keep-alive agent to close, and gives it a
// bounded time to do so.

#include "actions/actions.h"

namespace {
constexpr const char* kAgentWindowClass = "VLD_CLASS";
constexpr DWORD kCloseTimeLimitMs = 2000;
constexpr DWORD kPollIntervalMs = 50;
}  // namespace

extern "C" UINT INST_WINAPI PreUninsTMK(MSIHANDLE) {
  // A null title matches the agent's window whatever it is called.
  HWND const agent = FindWindowA(kAgentWindowClass, nullptr);
  if (agent == nullptr) return ERROR_SUCCESS;

  // The clock starts before the post, so a slow post counts against the
  // limit too.
  const DWORD start = GetTickCount();
  // Posted, not sent: an agent that hangs cannot hold us. A failed post is
  // not special; the window check below tells whether it went away.
  PostMessageA(agent, WM_CLOSE, 0, 0);

  // Check at once, then after each sleep. The unsigned difference stays right
  // across the tick counter's wrap after 49.7 days; no sleep follows a reading
  // that reached the limit. Only the window found above is ever watched.
  while (IsWindow(agent) && GetTickCount() - start < kCloseTimeLimitMs) {
    Sleep(kPollIntervalMs);
  }
  return ERROR_SUCCESS;
}
