// Memory blocks and the plug-in's string buffers. Every allocation of the
// plug-in goes through here.
//
// A handle block follows the host's Handle model: the handle is the address of
// a master record whose first field points at the data area, so one dereference
// reaches the data. Blocks are zero-filled and never move until disposed.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"

// The capacity of every path and text buffer: 513 characters and a NUL.
inline constexpr int kStringSize = 514;

Handle NewHandleBlock(std::uint32_t size);
Handle NewZeroedHandleBlock(std::int32_t size);
void DisposeHandleBlock(Handle handle);

void* NewBlock(std::uint32_t size);
void* NewZeroedBlock(std::uint32_t size);
void DisposeBlock(void* block);

char* NewString(std::uint32_t size);
void DisposeString(char* string);

// The last status of the handle-block operations: 0, memFullErr or nilHandleErr.
OSErr LastMemoryError();

// Scope guards: release on every path of the function that acquired.
struct BlockGuard {
  void* block;
  explicit BlockGuard(void* b) : block(b) {}
  ~BlockGuard() { DisposeBlock(block); }
  BlockGuard(const BlockGuard&) = delete;
  BlockGuard& operator=(const BlockGuard&) = delete;
};

struct StringGuard {
  char* string;
  explicit StringGuard(char* s) : string(s) {}
  ~StringGuard() { DisposeString(string); }
  StringGuard(const StringGuard&) = delete;
  StringGuard& operator=(const StringGuard&) = delete;
};
