// A library with state, to show that a library freed for the last time loads fresh.
#include "win32/kernel.h"

namespace {
int g_count = 0;
}

extern "C" __attribute__((visibility("default"))) int WINAPI CounterNext() { return ++g_count; }
