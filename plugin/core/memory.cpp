// Handle blocks, plain blocks and string buffers over the platform's zeroed,
// stable memory.
#include "plugin/core/memory.h"

#include <cstring>

#include "plugin/platform/platform.h"

namespace {

// The master record of a handle block. `data` must stay the first field: the
// host dereferences a Handle once to reach the data.
struct MasterRecord {
  char* data;
  char signature[4];
};

OSErr g_last_memory_error = noErr;

}  // namespace

Handle NewHandleBlock(std::uint32_t size) {
  g_last_memory_error = noErr;
  auto* master = static_cast<MasterRecord*>(platform::OsAllocZeroed(sizeof(MasterRecord)));
  if (master == nullptr) {
    g_last_memory_error = memFullErr;
    return nullptr;
  }
  // A zero-byte request still gets a distinct data area so that the handle is
  // never mistaken for an empty one.
  master->data = static_cast<char*>(platform::OsAllocZeroed(size == 0 ? 1 : size));
  if (master->data == nullptr) {
    platform::OsFree(master);  // nothing would ever free it
    g_last_memory_error = memFullErr;
    return nullptr;
  }
  std::memcpy(master->signature, "OTOF", 4);
  return reinterpret_cast<Handle>(master);
}

Handle NewZeroedHandleBlock(std::int32_t size) {
  // A negative size is a caller's arithmetic gone wrong; a small block handed
  // back would be overrun by whoever believed in the size.
  if (size < 0) {
    g_last_memory_error = memFullErr;
    return nullptr;
  }
  // The platform hands out zero-filled memory, and the block is new.
  return NewHandleBlock(static_cast<std::uint32_t>(size));
}

void DisposeHandleBlock(Handle handle) {
  g_last_memory_error = noErr;
  if (handle == nullptr) {
    g_last_memory_error = nilHandleErr;
    return;
  }
  auto* master = reinterpret_cast<MasterRecord*>(handle);
  if (master->data != nullptr) platform::OsFree(master->data);
  platform::OsFree(master);
}

void* NewBlock(std::uint32_t size) {
  return platform::OsAllocZeroed(size == 0 ? 1 : size);
}

void* NewZeroedBlock(std::uint32_t size) {
  // Already zero-filled by the platform: clearing it again would also touch
  // every page of a large block that the system has not yet mapped in.
  return NewBlock(size);
}

void DisposeBlock(void* block) {
  if (block != nullptr) platform::OsFree(block);
}

char* NewString(std::uint32_t size) {
  return static_cast<char*>(NewZeroedBlock(size));
}

void DisposeString(char* string) {
  if (string == nullptr) return;
  string[0] = '\0';
  DisposeBlock(string);
}

OSErr LastMemoryError() {
  return g_last_memory_error;
}
