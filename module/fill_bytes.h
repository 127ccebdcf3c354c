#pragma once
// A byte fill of the module's own, for builds without a C runtime.

#include <stddef.h>

// Sets `count` bytes from `dest` to the low byte of `value`; returns `dest`.
void* FillBytes(void* dest, int value, size_t count);
