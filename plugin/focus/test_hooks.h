// Test-only controls of the focus operations. They are compiled into the static
// library that the tests link; the plug-in module never calls them.
#pragma once

namespace focus::test {

// While set, ShowMessage hands its text to the sink instead of the platform's
// warning box. Null restores the box.
using MessageSink = void (*)(const char* text);
void SetMessageSink(MessageSink sink);

// While set, every working row request fails as if memory were exhausted.
void SetWorkingRowsRefused(bool refused);

// Rows that Add merges and writes as one band (0: its own choice, by width).
void SetAddBandRows(int rows);

}  // namespace focus::test
