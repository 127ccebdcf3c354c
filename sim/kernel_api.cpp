// The kernel32 functions the module uses.

#include "sim/state.h"

using namespace sim;

extern "C" {

int lstrlenA(const char* text) {
  BeginCall("lstrlenA", {Quote(text)});
  // Windows answers 0 for a null pointer rather than faulting.
  int length = 0;
  while (text && text[length] != '\0') ++length;
  EndCall(std::to_string(length));
  return length;
}

// A tick counter and a sleep cannot fail on Windows, so an injected failure
// changes nothing for them; the call still counts.
DWORD GetTickCount() {
  BeginCall("GetTickCount", {});
  const State& s = TheState();
  const auto tick = static_cast<DWORD>(s.tickAtStart + s.elapsedMs);
  EndCall(std::to_string(tick));
  return tick;
}

void Sleep(DWORD milliseconds) {
  BeginCall("Sleep", {std::to_string(milliseconds)});
  State& s = TheState();
  s.elapsedMs += std::uint64_t{milliseconds} + s.schedulerDelayMs;
  EndCall("");
}

}  // extern "C"

namespace sim {

void SetTickCount(DWORD tick) { TheState().tickAtStart = tick; }
void SetSchedulerDelay(DWORD ms) { TheState().schedulerDelayMs = ms; }
std::uint64_t ElapsedMs() { return TheState().elapsedMs; }

}  // namespace sim
