// The operation selection and the operation dialog's procedure. The platform
// shows dialog 2117 and reports its events; everything the dialog decides is
// here, so every platform behaves alike.
#include "plugin/ui/operation_dialog.h"

#include "plugin/core/memory.h"
#include "plugin/focus/operation_choice.h"
#include "plugin/params/parameter_block.h"
#include "plugin/platform/platform.h"

namespace {

constexpr int kOperationEntry = 0;  // entry 0 of the list: key "EFMd"

// What the dialog shows where it has no resource to load; it must match
// resource 2117. Cancel stands left of OK, as in the resource.
constexpr platform::DialogControl kOperationControls[] = {
    {kOperationClearBuffer, platform::DialogControlKind::kRadioButton, "Clear Buffer", '4'},
    {kOperationAddToBuffer, platform::DialogControlKind::kRadioButton, "Add To Buffer", '5'},
    {kOperationShowBuffer, platform::DialogControlKind::kRadioButton, "Show Buffer Contents", '6'},
    {platform::kDialogCancel, platform::DialogControlKind::kButton, "Cancel", 0},
    {platform::kDialogOk, platform::DialogControlKind::kDefaultButton, "OK", 0},
};
constexpr platform::DialogTemplate kOperationDialog = {
    kOperationDialogResource, "Sharpstack", kOperationControls,
    static_cast<int>(sizeof kOperationControls / sizeof kOperationControls[0])};

// The dialog's context while it is up: the dialog procedure receives only
// control ids, so the record and the choice in progress live here. One dialog
// at a time.
struct DialogContext {
  OperationChoice* record;
  std::int32_t current;
};
DialogContext g_dialog = {nullptr, 0};

OperationChoice* ChoiceRecord(Handle choice) {
  return choice != nullptr ? reinterpret_cast<OperationChoice*>(*choice) : nullptr;
}

bool OperationDialogProc(platform::DialogSession* session, platform::DialogEvent event,
                         int control) {
  if (g_dialog.record == nullptr) return false;
  switch (event) {
    case platform::DialogEvent::kInit:
      g_dialog.current = g_dialog.record->operation;
      for (std::int32_t id = kOperationClearBuffer; id <= kOperationShowBuffer; ++id) {
        platform::OsSetDialogCheck(session, id, false);
      }
      // A code outside 4 to 6 names no button: none is checked.
      platform::OsSetDialogCheck(session, g_dialog.current, true);
      return false;  // no default keyboard focus
    case platform::DialogEvent::kCommand:
      switch (control) {
        case platform::kDialogOk:
          g_dialog.record->operation = g_dialog.current;
          platform::OsEndDialog(session, kDialogConfirmed);
          return true;
        case platform::kDialogCancel:
          platform::OsEndDialog(session, kDialogCancelled);
          return true;
        case kOperationClearBuffer:
        case kOperationAddToBuffer:
        case kOperationShowBuffer:
          g_dialog.current = control;
          return true;
        default:
          return false;
      }
  }
  return false;
}

}  // namespace

std::int16_t RunOperationDialog(ParameterBlock* block, Handle choice) {
  OperationChoice* record = ChoiceRecord(choice);
  // No record to work on, or a dialog already up: it cannot be shown.
  if (record == nullptr || g_dialog.record != nullptr) return kDialogCancelled;

  std::intptr_t owner = 0;
  if (block != nullptr && block->filterRecord != nullptr &&
      block->filterRecord->platformData != nullptr) {
    owner = block->filterRecord->platformData->hwnd;
  }
  g_dialog = {record, record->operation};
  const int code = platform::OsRunDialog(owner, kOperationDialog, OperationDialogProc);
  g_dialog = {nullptr, 0};
  // The procedure ends the dialog only with OK or Cancel; any other code (-1,
  // or 0 for an owner window the system refused) means the dialog was never
  // shown, and nothing the user did not confirm may count as confirmed.
  return code == kDialogConfirmed ? kDialogConfirmed : kDialogCancelled;
}

OSErr SelectOperation(ParameterBlock* block, Handle* operationChoiceSlot, DescriptorList list,
                      std::uint8_t noDialog) {
  if (operationChoiceSlot == nullptr) return memFullErr;
  Handle choice = NewZeroedHandleBlock(sizeof(OperationChoice));
  // Without the record the dispatcher would have nothing to read; the run
  // ends as out of memory rather than running an operation nobody chose.
  if (choice == nullptr) return memFullErr;
  // A record left from an earlier selection would otherwise be lost.
  if (*operationChoiceSlot != nullptr) DisposeHandleBlock(*operationChoiceSlot);
  *operationChoiceSlot = choice;
  OperationChoice* record = ChoiceRecord(choice);

  std::int32_t operation = list != nullptr ? GetEntryLong(list, kOperationEntry) : 0;
  // 0 is what the list holds when neither a confirmed dialog nor the host
  // named an operation. The dialog offers Clear Buffer for it, for the user
  // to confirm; without the dialog nobody chose anything, and taking Clear
  // would delete the buffer on nobody's word.
  if (operation == 0 && noDialog != 0) return filterBadParameters;
  if (operation == 0) operation = kOperationClearBuffer;
  record->operation = operation;
  if (noDialog != 0) return noErr;

  if (RunOperationDialog(block, choice) != kDialogConfirmed) return userCanceledErr;
  if (block != nullptr) block->params[kParamOperation] = static_cast<float>(record->operation);
  if (list != nullptr) SetEntryLong(list, kOperationEntry, record->operation);
  return noErr;
}
