// Test stand-in for the keep-alive agent: one top-level window of class
// "VLD_CLASS" and a message loop. What it does with WM_CLOSE is chosen on the
// command line:
//
//   agent close          destroy the window at once
//   agent delay MS       destroy it MS milliseconds after WM_CLOSE arrives
//   agent ignore         leave it (the window stays until the process is ended)
//
// The process ends when its window is destroyed. Whatever the mode, the window
// is destroyed after --life MS (default 60000) so that a forgotten agent
// cannot outlive a test run by long.
//
// Lines on stdout, flushed at once, for the test to read:
//   ready hwnd=<hex> pid=<n>
//   wm_close tick=<GetTickCount>
//   destroyed tick=<GetTickCount> after_close_ms=<ms or -1>

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum class Mode { kClose, kDelay, kIgnore };

constexpr UINT_PTR kDelayTimer = 1;
constexpr UINT_PTR kLifeTimer = 2;

// The window procedure has no other way to reach its settings.
Mode g_mode = Mode::kClose;
UINT g_delay_ms = 0;
DWORD g_close_tick = 0;
bool g_close_seen = false;

// The test reads these lines while the agent runs: flush each one.
__attribute__((format(printf, 1, 2))) void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      // The wait for the window is counted from the first close request.
      if (!g_close_seen) {
        g_close_seen = true;
        g_close_tick = GetTickCount();
      }
      Say("wm_close tick=%lu\n", GetTickCount());
      if (g_mode == Mode::kClose) {
        DestroyWindow(window);
      } else if (g_mode == Mode::kDelay) {
        SetTimer(window, kDelayTimer, g_delay_ms, nullptr);
      }
      return 0;  // kIgnore: the default handling would destroy the window
    case WM_TIMER:
      if (wparam == kDelayTimer || wparam == kLifeTimer) {
        KillTimer(window, wparam);
        DestroyWindow(window);
      }
      return 0;
    case WM_DESTROY: {
      const DWORD now = GetTickCount();
      Say("destroyed tick=%lu after_close_ms=%ld\n", now,
          g_close_seen ? static_cast<long>(now - g_close_tick) : -1L);
      PostQuitMessage(0);
      return 0;
    }
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

int Usage() {
  std::fprintf(stderr, "usage: agent close|ignore|delay MS [--life MS]\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  UINT life_ms = 60000;
  int i = 1;
  if (i >= argc) return Usage();
  if (std::strcmp(argv[i], "close") == 0) {
    g_mode = Mode::kClose;
  } else if (std::strcmp(argv[i], "ignore") == 0) {
    g_mode = Mode::kIgnore;
  } else if (std::strcmp(argv[i], "delay") == 0 && i + 1 < argc) {
    g_mode = Mode::kDelay;
    g_delay_ms = static_cast<UINT>(std::strtoul(argv[++i], nullptr, 10));
  } else {
    return Usage();
  }
  for (++i; i < argc; ++i) {
    if (std::strcmp(argv[i], "--life") == 0 && i + 1 < argc) {
      life_ms = static_cast<UINT>(std::strtoul(argv[++i], nullptr, 10));
    } else {
      return Usage();
    }
  }

  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  window_class.lpszClassName = "VLD_CLASS";
  if (RegisterClassA(&window_class) == 0) {
    std::printf("RegisterClassA failed, error %lu\n", GetLastError());
    return 1;
  }
  HWND window = CreateWindowExA(0, "VLD_CLASS", "keep-alive agent (test)",
                                WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                200, 100, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) {
    std::printf("CreateWindowExA failed, error %lu\n", GetLastError());
    return 1;
  }
  SetTimer(window, kLifeTimer, life_ms, nullptr);
  Say("ready hwnd=%llx pid=%lu\n",
      static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)),
      GetCurrentProcessId());

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}
