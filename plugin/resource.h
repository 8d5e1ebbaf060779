// Resource ids of Dorvel.dll: the printer settings page (dialog 256), its controls, the tab icon
// and the string table.
#pragma once

#define IDD_PRINTER_PAGE 256
#define IDI_PRINTER_PAGE 160

// Device items 0 to 4: labels, value texts, change markers, combo boxes.
#define IDC_ITEM_LABEL0 1031
#define IDC_SPEED_LABEL 1036
#define IDC_ITEM_TEXT0 1041
#define IDC_ITEM_MARK0 1051
#define IDC_READ_PRINTER 1057
#define IDC_READ_HINT 1070
#define IDC_ITEM_COMBO0 1071
#define IDC_RESOLUTION 1076
#define IDC_SAVE_PRINTER 1080
#define IDC_OFFSET_X 1081
#define IDC_OFFSET_Y 1082
#define IDC_OFFSET_X_SPIN 1083
#define IDC_UNIT_CM 1084
#define IDC_UNIT_INCH 1085
#define IDC_OFFSET_Y_SPIN 1086
#define IDC_OFFSET_X_RANGE 1087
#define IDC_OFFSET_Y_RANGE 1088
#define IDC_COMPRESS 1089
#define IDC_COMPRESS_SPIN 1090
#define IDC_COMPRESS_RANGE 1091

// Message texts of the settings exchange, the resolution choices and the item values.
#define IDS_ERROR_CAPTION 19
#define IDS_PRINTER_OFFLINE 20
#define IDS_USB_ONLY 21
#define IDS_DLL_MISSING 22
#define IDS_SAVE_DONE 23
#define IDS_SAVE_PARTLY 24
#define IDS_SAVE_FAILED 25
#define IDS_READ_FAILED 26
#define IDS_READ_BAD_DATA 27
#define IDS_READ_DONE 28
#define IDS_RES_NORMAL 29
#define IDS_RES_HIGH_SPEED 30
#define IDS_ON 31
#define IDS_OFF 32

// A vertical scroll bar control (the window style of the scroll bar class).
#ifndef SBS_VERT
#define SBS_VERT 0x0001
#endif
