#include "registry/reg_key_handle.h"

namespace {
// Subkey names of up to 255 characters fit; a longer one makes the
// enumeration report ERROR_MORE_DATA, which ends the emptying of that key.
constexpr DWORD kSubkeyNameChars = 256;
}  // namespace

LONG RegKeyHandle::DeleteTree(const char* path) const {
  return DeleteTreeAt(path, 0);
}

// The depth travels down the recursion as an argument: the module keeps no
// state between calls, and two trees deleted one after the other each get
// the whole bound.
LONG RegKeyHandle::DeleteTreeAt(const char* path, DWORD depth) const {
  if (key_ == nullptr) return ERROR_INVALID_HANDLE;
  // The key at the bound itself is still emptied and deleted; only a key
  // below it is refused, before it is opened. Like any failure inside a
  // tree, this ends the whole tree's deletion and keeps what is deleted.
  if (depth > kMaxTreeDepth) return kTreeTooDeep;

  RegKeyHandle child;
  const LONG opened = child.Open(key_, path);
  if (opened != ERROR_SUCCESS) return opened;

  // Always ask for index 0: the subkey just deleted is gone, so whatever is
  // left moves up. No list is collected, so the stack grows with the depth of
  // the tree and not with its width.
  for (;;) {
    char name[kSubkeyNameChars];
    DWORD nameSize = kSubkeyNameChars;
    FILETIME lastWrite;
    if (RegEnumKeyExA(child.key_, 0, name, &nameSize, nullptr, nullptr,
                      nullptr, &lastWrite) != ERROR_SUCCESS) {
      break;  // empty, or the listing failed: the deletion below will tell
    }
    const LONG deleted = child.DeleteTreeAt(name, depth + 1);
    if (deleted != ERROR_SUCCESS) return deleted;  // child closes on the way
  }

  child.Close();
  return RegDeleteKeyA(key_, path);
}

LONG DeleteTreeUnderRoot(HKEY root, const char* path) {
  RegKeyHandle rootKey(root);
  return rootKey.DeleteTree(path);
}
