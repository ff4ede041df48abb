// The run state and the parameters handle live as long as the editor keeps the plug-in.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:NewRunStateBlock\n"
         "leak:DoParameters\n";
}
