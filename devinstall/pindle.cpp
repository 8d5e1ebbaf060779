// The device-install library (pindle.dll for 32-bit processes, pindle64.dll for 64-bit ones).
// Its exports arrive with the device-install work; until then the library is a real, loadable
// image so that the installer stages the very bytes it will ship.
#include "win32/kernel.h"
