// The warning box and working rows of the focus operations.
#include "plugin/focus/support.h"

#include "plugin/core/memory.h"
#include "plugin/focus/test_hooks.h"
#include "plugin/platform/platform.h"

namespace {

focus::test::MessageSink g_message_sink = nullptr;
bool g_rows_refused = false;

}  // namespace

void ShowMessage(const char* text) {
  if (g_message_sink != nullptr) {
    g_message_sink(text);
    return;
  }
  platform::OsShowMessage(text);
}

void* NewWorkingRow(std::uint64_t bytes) {
  if (g_rows_refused || bytes > UINT32_MAX) return nullptr;
  return NewZeroedBlock(static_cast<std::uint32_t>(bytes));
}

namespace focus::test {

void SetMessageSink(MessageSink sink) {
  g_message_sink = sink;
}
void SetWorkingRowsRefused(bool refused) {
  g_rows_refused = refused;
}

}  // namespace focus::test
