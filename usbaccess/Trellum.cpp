// The USB access library. Its exports arrive with the USB work; until then it is a real,
// loadable image so that the installer stages the very bytes it will ship.
#include "win32/kernel.h"
