// Device-change notifications: a window registers for the arrival and removal of the devices of
// a device-interface class and receives WM_DEVICECHANGE with a broadcast record.
#pragma once

#include "win32/base.h"
#include "win32/user.h"

#ifdef _WIN32

#include <dbt.h>

#else

#define WM_DEVICECHANGE 0x0219

#define DBT_DEVNODES_CHANGED 0x0007
#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEREMOVECOMPLETE 0x8004
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005

#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000
#define DEVICE_NOTIFY_SERVICE_HANDLE 0x00000001
#define DEVICE_NOTIFY_ALL_INTERFACE_CLASSES 0x00000004

typedef PVOID HDEVNOTIFY;

typedef struct _DEV_BROADCAST_HDR {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
} DEV_BROADCAST_HDR, *PDEV_BROADCAST_HDR;

typedef struct _DEV_BROADCAST_DEVICEINTERFACE_W {
  DWORD dbcc_size;
  DWORD dbcc_devicetype;
  DWORD dbcc_reserved;
  GUID dbcc_classguid;
  WCHAR dbcc_name[1];  // the interface's symbolic link, as long as dbcc_size allows
} DEV_BROADCAST_DEVICEINTERFACE_W, *PDEV_BROADCAST_DEVICEINTERFACE_W;

extern "C" {
WINSIM_API HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags);
WINSIM_API BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle);
}

#endif

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "the filter a window registers is 32 bytes");
