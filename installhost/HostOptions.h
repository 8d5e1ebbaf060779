// The install host's command line: /Dll, /Handle, /Inf, /HWID and /FindHWID with their values.
#pragma once

#include <vector>

#include "win32/base.h"
#include "win32/user.h"

struct THostOptions {
  WStr Dll;       // the 64-bit device-install library
  WStr Handle;    // the window that receives the install result, as given
  WStr Inf;       // the driver's INF file
  WStr HWID;      // the hardware ID to install for or look for
  WStr FindHWID;  // the detection exchange file; given, it selects detection mode

  bool DetectionMode() const { return !FindHWID.empty(); }
  HWND ResultWindow() const;  // null when /Handle is 0 or absent
};

// Reads the arguments after the program name (args[0]). A token that starts with "/" and names
// an option (in any letter case) makes it the current option, any other "/" token clears the
// current option; every other token is the current option's value, the last one winning, and is
// dropped while no option is current.
THostOptions ParseHostOptions(const std::vector<WStr>& args);

// A decimal number as the C run-time's atoi reads it: blanks, an optional sign, digits up to the
// first non-digit; kept to 32 bits as a window handle is.
LONG DecimalToLong(WStrView text);
