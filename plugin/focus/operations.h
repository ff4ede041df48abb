// The two long focus operations, one function per channel width. Each takes the
// run's colour store (the filter rectangle, samples interleaved per pixel), the
// parameter block and the no-dialog flag, and returns 0, -128 when the user
// cancelled, -108 when its working rows cannot be had, or a file-layer status.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"

struct ImageStore;
struct ParameterBlock;

// Merges the picture into the focus buffer set: counts every selected pixel and
// takes its colour and sharpness where it is sharper than anything added before.
// The colour store is only read.
[[nodiscard]] OSErr AddToBuffer8(ImageStore* colorStore, ParameterBlock* block,
                                 std::uint8_t noDialog);
[[nodiscard]] OSErr AddToBuffer16(ImageStore* colorStore, ParameterBlock* block,
                                  std::uint8_t noDialog);

// Writes the stretched composite into the colour store, resampled to the
// rectangle's size, the background colour where nothing was ever added.
[[nodiscard]] OSErr ShowBufferContents8(ImageStore* colorStore, ParameterBlock* block,
                                        std::uint8_t noDialog);
[[nodiscard]] OSErr ShowBufferContents16(ImageStore* colorStore, ParameterBlock* block,
                                         std::uint8_t noDialog);
