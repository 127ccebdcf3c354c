#include "bench/ours.h"

#include "registry/reg_key_handle.h"

long OursDeleteTreeUnderRoot(std::uint32_t root, const char* path) {
  return DeleteTreeUnderRoot(RootHandle(static_cast<RootKey>(root)), path);
}
