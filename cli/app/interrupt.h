// Ctrl-C for the command-line host. The first SIGINT only raises a flag that
// the plug-in sees through abortProc, so that it can stop cleanly between rows
// and leave its files consistent; a second SIGINT ends the process as usual.
#pragma once

namespace cli {

// Installs the handler; call once, early.
void InstallInterruptHandler();
// True once Ctrl-C has been pressed.
bool Interrupted();
// For tests of the commands in-process: raise or clear the flag.
void SetInterrupted(bool value);
// A descriptor that becomes readable once the flag is raised, for a command
// that blocks in poll() until something happens; -1 before the handler is
// installed. Never read from it: it stays readable.
int InterruptWakeFd();

}  // namespace cli
