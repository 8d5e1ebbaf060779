// String ids of the device-install library, shared by its code and its resource file.
#pragma once

#define IDS_SETUP_FAILED_TEXT 1  // operation name, system message
#define IDS_SETUP_FAILED_CODE 2  // operation name, error code
#define IDS_ERROR_CAPTION 3
#define IDS_INF_NOT_FOUND 4
