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

}  // extern "C"
