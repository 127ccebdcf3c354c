// The user32 functions the module uses, over a table of windows owned by
// scripted programs, and the test controls for them.

#include "sim/state.h"

namespace sim {
namespace {

// Window handles fit in 32 bits and never collide with key handles.
constexpr std::uintptr_t kFirstWindow = 0x20000;

Window* Find(HWND window) {
  auto& windows = TheState().windows;
  auto it = windows.find(reinterpret_cast<std::uintptr_t>(window));
  return it == windows.end() ? nullptr : &it->second;
}

// Lets every owner whose delay has run out destroy its window.
void Settle() {
  State& s = TheState();
  for (auto& entry : s.windows) {
    Window& w = entry.second;
    if (!w.destroyed && w.destroyAt && s.elapsedMs >= *w.destroyAt) {
      w.destroyed = true;
    }
  }
}

void Deliver(HWND handle, Window& window, UINT message) {
  window.messages.push_back(message);
  if (message != WM_CLOSE) return;
  switch (window.reply) {
    case AgentReply::Never:
      break;
    case AgentReply::AtOnce:
      window.destroyed = true;
      break;
    case AgentReply::AfterDelay:
      window.destroyAt = TheState().elapsedMs + window.replyDelay;
      break;
    case AgentReply::Callback:
      if (window.onClose) window.onClose(handle);
      break;
  }
}

}  // namespace

std::string WindowName(HWND window) {
  if (window == nullptr) return "null";
  const auto value = reinterpret_cast<std::uintptr_t>(window);
  if (TheState().windows.count(value)) {
    return "w" + std::to_string((value - kFirstWindow) / 4);
  }
  return Hex(value);
}

HWND AddWindow(const std::string& className) {
  auto& windows = TheState().windows;
  const std::uintptr_t value = kFirstWindow + 4 * (windows.size() + 1);
  windows[value].className = className;
  return reinterpret_cast<HWND>(value);
}

void SetAgent(HWND window, AgentReply reply, DWORD delayMs) {
  if (Window* w = Find(window)) {
    w->reply = reply;
    w->replyDelay = delayMs;
  }
}

void SetAgent(HWND window, std::function<void(HWND)> onClose) {
  if (Window* w = Find(window)) {
    w->reply = AgentReply::Callback;
    w->onClose = std::move(onClose);
  }
}

void DestroyWindow(HWND window) {
  if (Window* w = Find(window)) w->destroyed = true;
}

bool WindowExists(HWND window) {
  Settle();
  const Window* w = Find(window);
  return w && !w->destroyed;
}

std::vector<UINT> MessagesTo(HWND window) {
  const Window* w = Find(window);
  return w ? w->messages : std::vector<UINT>{};
}

}  // namespace sim

using namespace sim;

extern "C" {

HWND FindWindowA(const char* className, const char* windowName) {
  const bool injected =
      BeginCall("FindWindowA", {Quote(className), Quote(windowName)}).has_value();
  Settle();
  HWND found = nullptr;
  // Windows have no titles here, so only a null name matches any window.
  if (!injected && className && windowName == nullptr) {
    for (const auto& [value, w] : TheState().windows) {
      if (!w.destroyed && SameName(w.className, className)) {
        found = reinterpret_cast<HWND>(value);  // the newest wins
      }
    }
  }
  EndCall(WindowName(found));
  return found;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const bool injected =
      BeginCall("PostMessageA", {WindowName(window), std::to_string(message),
                                 std::to_string(wParam), std::to_string(lParam)})
          .has_value();
  Settle();
  Window* w = Find(window);
  const BOOL posted = !injected && w && !w->destroyed;
  if (posted) Deliver(window, *w, message);
  EndCall(std::to_string(posted));
  return posted;
}

BOOL IsWindow(HWND window) {
  const bool injected = BeginCall("IsWindow", {WindowName(window)}).has_value();
  const BOOL exists = !injected && WindowExists(window);
  EndCall(std::to_string(exists));
  return exists;
}

}  // extern "C"
