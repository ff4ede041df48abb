// Choosing the run's operation: from scripting or the previous run when the
// host asks for no dialog, otherwise in the small modal dialog 2117 with one
// radio button per operation (the buttons' ids are the operation codes).
#pragma once

#include <cstdint>

#include "interface/filter_record.h"
#include "plugin/params/descriptor_list.h"

struct ParameterBlock;

inline constexpr int kOperationDialogResource = 2117;

// RunOperationDialog's answers.
inline constexpr std::int16_t kDialogConfirmed = 1;
inline constexpr std::int16_t kDialogCancelled = 2;

// Creates this run's OperationChoice into *operationChoiceSlot and fills it
// from entry 0 of the list. Without noDialog the user confirms or changes it
// in the dialog, which offers Clear Buffer for 0; a confirmed code is also
// stored in params[205] and entry 0, so that the preferences and the host
// remember it. Returns 0, userCanceledErr when the dialog is cancelled or
// cannot be shown, filterBadParameters (record left at 0) when noDialog is
// set and entry 0 is 0 (no operation was ever named), or memFullErr (slot left
// untouched) when the record cannot be allocated. A record an earlier
// selection left in the slot is disposed of.
[[nodiscard]] OSErr SelectOperation(ParameterBlock* block, Handle* operationChoiceSlot,
                                    DescriptorList list, std::uint8_t noDialog);

// Shows the dialog preselected on the record's code, owned by the host window.
// kDialogConfirmed stores the chosen code in the record; kDialogCancelled (also
// when the dialog cannot be shown) leaves the record as it was.
std::int16_t RunOperationDialog(ParameterBlock* block, Handle choice);
