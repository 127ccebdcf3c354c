#pragma once
// Helpers shared by the benchmark subcommands: timing, medians, key trees,
// and the one output format bench.sh reads.
//
// Results go to stdout as lines "result <bench> <name> <value>", one
// measured quantity a line; everything else a subcommand prints is for
// people. A subcommand that finds the registry or a window not as the
// measurement needs it stops with exit status 1 instead of reporting a time
// for work that was not done.

#include <windows.h>
#include <msi.h>

#include <string>
#include <vector>

namespace bench {

// Milliseconds since an arbitrary start, from the performance counter.
double NowMs();

double Median(std::vector<double> samples);
double Min(const std::vector<double>& samples);
double Max(const std::vector<double>& samples);

// Prints "result <bench> <name> <value>" and flushes.
void Result(const char* bench, const std::string& name, double value);
// Prints the samples of one measurement on one line, for the log.
void Samples(const char* bench, const std::string& name, const std::vector<double>& samples);

// Prints the message and ends the process with status 1.
[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A custom action as Windows Installer calls it.
using CustomAction = UINT(WINAPI*)(MSIHANDLE);

// Loads the module at `dll` and returns its export `exportName` (a decorated
// name such as "_UninstallTMK@4"); fails the run if either is missing.
CustomAction LoadAction(const char* dll, const char* exportName);

// Creates (or opens) the key at `path` below `parent`; fails the run if it
// cannot.
HKEY CreateKey(HKEY parent, const char* path);
void SetString(HKEY key, const char* name, const char* text);
void SetDword(HKEY key, const char* name, DWORD value);
bool KeyExists(HKEY root, const char* path);

// Creates the key `path` below `parent` with `total` keys in all (the key
// itself included), filled breadth first with `fanout` subkeys per key;
// every key gets one REG_SZ value. Returns the number of keys created.
int CreateFannedTree(HKEY parent, const char* path, int total, int fanout);

}  // namespace bench
