// The entry of the focus operations: the processing phase hands over the run's
// colour store, the parameter block and the chosen operation, and the
// dispatcher starts that operation in the variant for the picture's channel
// width. Also home of "Clear Buffer", the one operation with no picture work.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"
#include "plugin/params/descriptor_list.h"

struct ImageStore;
struct ParameterBlock;

// Runs the operation whose code the OperationChoice behind `operationChoice`
// holds: 4 clears the buffer, 5 adds the picture, 6 shows the buffer; any
// other code (or no choice at all) does nothing and gives 0. The result of the
// operation is returned unchanged. The descriptor list is accepted for the
// phase's sake; no operation reads it.
[[nodiscard]] OSErr RunOperation8(ImageStore* colorStore, ParameterBlock* block,
                                  Handle operationChoice, DescriptorList list,
                                  std::uint8_t noDialog);
[[nodiscard]] OSErr RunOperation16(ImageStore* colorStore, ParameterBlock* block,
                                   Handle operationChoice, DescriptorList list,
                                   std::uint8_t noDialog);

// Deletes the three buffer files; missing or undeletable files are passed
// over. Always 0.
OSErr ClearBuffer();
