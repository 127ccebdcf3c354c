#include "module/fill_bytes.h"

void* FillBytes(void* dest, int value, size_t count) {
  // Through a volatile pointer: an optimiser that recognises a fill loop
  // would otherwise replace it with a call to memset, which is the very
  // function this one stands behind.
  volatile unsigned char* byte = static_cast<unsigned char*>(dest);
  const unsigned char fill = static_cast<unsigned char>(value);
  for (size_t i = 0; i < count; ++i) byte[i] = fill;
  return dest;
}
