// Operation dispatch by code and channel width, and "Clear Buffer".
#include "plugin/focus/dispatch.h"

#include <initializer_list>

#include "plugin/core/strings.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/focus/operation_choice.h"
#include "plugin/focus/operations.h"
#include "plugin/storage/file.h"
#include "plugin/storage/store.h"

namespace {

constexpr const char* kBufferPaths[] = {kCountBufferPath, kVarianceBufferPath, kFocusBufferPath};

using Operation = OSErr (*)(ImageStore*, ParameterBlock*, std::uint8_t);

// The code behind the handle; a missing handle or block chooses nothing.
std::int32_t ChosenOperation(Handle operationChoice) {
  if (operationChoice == nullptr || *operationChoice == nullptr) return 0;
  return reinterpret_cast<const OperationChoice*>(*operationChoice)->operation;
}

OSErr RunOperation(ImageStore* colorStore, ParameterBlock* block, Handle operationChoice,
                   std::uint8_t noDialog, Operation add, Operation show) {
  switch (ChosenOperation(operationChoice)) {
    case kOperationClearBuffer:
      return ClearBuffer();
    case kOperationAddToBuffer:
      return add(colorStore, block, noDialog);
    case kOperationShowBuffer:
      return show(colorStore, block, noDialog);
    default:
      return noErr;
  }
}

}  // namespace

OSErr RunOperation8(ImageStore* colorStore, ParameterBlock* block, Handle operationChoice,
                    DescriptorList /*list*/, std::uint8_t noDialog) {
  return RunOperation(colorStore, block, operationChoice, noDialog, AddToBuffer8,
                      ShowBufferContents8);
}

OSErr RunOperation16(ImageStore* colorStore, ParameterBlock* block, Handle operationChoice,
                     DescriptorList /*list*/, std::uint8_t noDialog) {
  return RunOperation(colorStore, block, operationChoice, noDialog, AddToBuffer16,
                      ShowBufferContents16);
}

OSErr ClearBuffer() {
  // A set that another run is using (or that cannot be read now) is left
  // whole and the Clear fails: deleting the files that happen to be free
  // would wreck that run's stack, and reporting success would be untrue.
  for (const char* path : kBufferPaths) {
    StoreHeader header{};
    OSErr status = noErr;
    if (ReadFocusBufferHeader(path, &header, &status) == FocusBufferState::kUnavailable)
      return status;
  }
  // A file that stays behind after its delete failed is reported too; a
  // missing file is no error.
  OSErr result = noErr;
  for (const char* path : kBufferPaths) {
    char redirected[kStringSize];
    CopyBounded(path, redirected, kStringSize);
    if (!ApplyPathRedirect(redirected)) return bdNamErr;
    const OSErr status = DeleteDataFile(redirected);
    if (status != noErr && status != fnfErr && result == noErr) result = status;
  }
  // What an interrupted Add left beside the set goes with it.
  for (const char* path : {kJournalPath, kCountGrowthPath, kVarianceGrowthPath, kFocusGrowthPath})
    DisposeImageStore(path, nullptr);
  return result;
}
