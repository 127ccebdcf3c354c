// The component query of msi.dll, answering from states set by the test.

#include "sim/state.h"

namespace sim {

void SetComponentState(const std::string& code, INSTALLSTATE state) {
  TheState().componentStates[code] = state;
}

}  // namespace sim

using namespace sim;

extern "C" {

// Reports the state alone: the stand-in knows no install paths and writes
// nothing through `pathBuffer` or `pathSize`. The journal shows whether each
// was given.
INSTALLSTATE MsiLocateComponentA(const char* component, char* pathBuffer,
                                 DWORD* pathSize) {
  if (auto injected = BeginCall("MsiLocateComponentA",
                                {Quote(component), pathBuffer ? "ptr" : "null",
                                 pathSize ? "ptr" : "null"})) {
    EndCall(std::to_string(*injected));
    return *injected;
  }
  constexpr INSTALLSTATE kUnknown = -1;
  INSTALLSTATE state = kUnknown;
  if (component != nullptr) {
    const auto& states = TheState().componentStates;
    auto it = states.find(component);
    if (it != states.end()) state = it->second;
  }
  EndCall(std::to_string(state));
  return state;
}

}  // extern "C"
