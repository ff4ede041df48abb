// The leak checker's standing exceptions for this test program. The run state
// in the editor's data slot and the parameters handle live as long as the
// editor keeps the plug-in, and the plug-in never frees them; every other
// allocation must still be released.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:NewRunStateBlock\n"
         "leak:DoParameters\n";
}
