#include "bench/bench_common.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace bench {

double NowMs() {
  static const double ticks_per_ms = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart) / 1000.0;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / ticks_per_ms;
}

double Median(std::vector<double> samples) {
  if (samples.empty()) Fail("median of no samples");
  std::sort(samples.begin(), samples.end());
  const size_t mid = samples.size() / 2;
  return samples.size() % 2 ? samples[mid] : (samples[mid - 1] + samples[mid]) / 2.0;
}

double Min(const std::vector<double>& samples) {
  return *std::min_element(samples.begin(), samples.end());
}

double Max(const std::vector<double>& samples) {
  return *std::max_element(samples.begin(), samples.end());
}

void Result(const char* bench, const std::string& name, double value) {
  std::printf("result %s %s %.4f\n", bench, name.c_str(), value);
  std::fflush(stdout);
}

void Samples(const char* bench, const std::string& name, const std::vector<double>& samples) {
  std::printf("samples %s %s", bench, name.c_str());
  for (double s : samples) std::printf(" %.3f", s);
  std::printf("\n");
  std::fflush(stdout);
}

void Fail(const char* format, ...) {
  std::fflush(stdout);
  std::fprintf(stderr, "bench: ");
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
  std::exit(1);
}

CustomAction LoadAction(const char* dll, const char* exportName) {
  HMODULE module = LoadLibraryA(dll);
  if (module == nullptr) Fail("LoadLibraryA(%s) failed: %lu", dll, GetLastError());
  auto action = reinterpret_cast<CustomAction>(
      reinterpret_cast<void*>(GetProcAddress(module, exportName)));
  if (action == nullptr) Fail("%s exports no %s", dll, exportName);
  return action;
}

HKEY CreateKey(HKEY parent, const char* path) {
  HKEY key = nullptr;
  const LONG status = RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) Fail("RegCreateKeyExA(%s) failed: %ld", path, status);
  return key;
}

void SetString(HKEY key, const char* name, const char* text) {
  const LONG status = RegSetValueExA(key, name, 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(text),
                                     static_cast<DWORD>(lstrlenA(text) + 1));
  if (status != ERROR_SUCCESS) Fail("RegSetValueExA(%s) failed: %ld", name, status);
}

void SetDword(HKEY key, const char* name, DWORD value) {
  const LONG status = RegSetValueExA(key, name, 0, REG_DWORD,
                                     reinterpret_cast<const BYTE*>(&value), sizeof value);
  if (status != ERROR_SUCCESS) Fail("RegSetValueExA(%s) failed: %ld", name, status);
}

bool KeyExists(HKEY root, const char* path) {
  HKEY key = nullptr;
  const LONG status = RegOpenKeyExA(root, path, 0, KEY_READ, &key);
  if (status == ERROR_SUCCESS) {
    RegCloseKey(key);
    return true;
  }
  if (status != ERROR_FILE_NOT_FOUND) Fail("RegOpenKeyExA(%s) failed: %ld", path, status);
  return false;
}

int CreateFannedTree(HKEY parent, const char* path, int total, int fanout) {
  // Breadth first: a queue of open keys that still take children.
  std::vector<HKEY> open;
  open.push_back(CreateKey(parent, path));
  SetString(open.back(), "data", "bench");
  int created = 1;
  for (size_t next = 0; created < total && next < open.size(); ++next) {
    for (int child = 0; child < fanout && created < total; ++child) {
      char name[32];
      std::snprintf(name, sizeof name, "node%03d", child);
      HKEY key = CreateKey(open[next], name);
      SetString(key, "data", "bench");
      open.push_back(key);
      ++created;
    }
  }
  for (HKEY key : open) RegCloseKey(key);
  return created;
}

}  // namespace bench
