// What the focus operations share beyond the store layer: the warning box,
// zero-filled working rows, and a guard that closes a buffer store on every
// path of the function that opened it.
#pragma once

#include <bit>
#include <cstdint>

#include "plugin/storage/store.h"

// Buffer files and 16-bit colour stores are moved as raw little-endian bytes.
static_assert(std::endian::native == std::endian::little,
              "the focus buffers are read and written in native byte order");

// The plug-in's warning box (text, one OK button); returns once it is closed.
void ShowMessage(const char* text);

// A zero-filled working row of `bytes` bytes (DisposeBlock frees it); null when
// memory is short.
void* NewWorkingRow(std::uint64_t bytes);

struct StoreGuard {
  ImageStore* store = nullptr;
  StoreGuard() = default;
  ~StoreGuard() {
    if (store != nullptr) CloseImageStore(store);
  }
  StoreGuard(const StoreGuard&) = delete;
  StoreGuard& operator=(const StoreGuard&) = delete;
};
