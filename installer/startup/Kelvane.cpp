// Kelvane.exe: the installer's entry point. It reads no command line.
#include "installer/startup/RunState.h"

#ifdef _WIN32
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return KelvaneMain(instance); }
#else
int main() { return KelvaneMain(reinterpret_cast<HINSTANCE>(GetModuleHandleW(nullptr))); }
#endif
