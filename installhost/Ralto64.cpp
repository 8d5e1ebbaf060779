// The 64-bit install host. Its options and messages arrive with the device-install work; until
// then it is a real 64-bit console image that ends at once.
#include "win32/kernel.h"

#ifdef _WIN32
int wmain() { return 0; }
#else
int main() { return 0; }
#endif
