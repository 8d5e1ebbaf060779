// Device I/O: control requests to a driver, overlapped transfers and their results, and the
// requests of the USB printing class driver.
#pragma once

#include "win32/base.h"

#ifdef _WIN32

#include <windows.h>
#include <winioctl.h>

#else

extern "C" {
WINSIM_API BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                       LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped);
WINSIM_API BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
WINSIM_API BOOL WINAPI CancelIo(HANDLE hFile);
}

#endif  // _WIN32

// The USB printing class driver's requests (FILE_DEVICE_UNKNOWN, buffered, any access; functions
// 12 and 13): the one-byte port status and the IEEE 1284 device ID, which arrives behind its
// two-byte big-endian length.
#ifndef IOCTL_USBPRINT_GET_LPT_STATUS
#define IOCTL_USBPRINT_GET_LPT_STATUS 0x220030u
#endif
#ifndef IOCTL_USBPRINT_GET_1284_ID
#define IOCTL_USBPRINT_GET_1284_ID 0x220034u
#endif
