// Small services of the printer-system operations: running a command line hidden with its
// output captured, two filters over printer-name lists, a process privilege and the restart.
#pragma once

#include "common/text.h"

// Runs the command line hidden and waits for it. -1: no pipe; -2: not started; 0: it ran and
// wrote nothing; 1: it ran and each chunk it wrote (at most 4096 bytes) is an entry of `output`.
int RunCMD_pipe(const WStr& commandLine, TStringList& output);

// Deletes every entry that does not begin with the prefix (ASCII letters ignore case).
void KeepNamesWithPrefix(TStringList& list, const WStr& prefix);
// Deletes every entry of `list` that `other` holds too (ASCII letters ignore case).
void RemoveListedNames(TStringList& list, const TStringList& other);

// Enables or disables a privilege of the process; raises KelvaneError with the system's text
// when the token could not be adjusted.
bool EnablePrivilege(const WStr& privilegeName, bool enable);
// Asks Windows to restart; true when the request was made.
bool RestartWindows();
