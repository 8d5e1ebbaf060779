// Windowing: window classes and windows, the message queue, message boxes, string resources.
#pragma once

#include "win32/base.h"

#ifndef _WIN32

struct HWND__ {
  int unused;
};
typedef HWND__* HWND;
struct HMENU__ {
  int unused;
};
typedef HMENU__* HMENU;
struct HICON__ {
  int unused;
};
typedef HICON__* HICON;
typedef HICON HCURSOR;
struct HBRUSH__ {
  int unused;
};
typedef HBRUSH__* HBRUSH;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef WORD ATOM;
typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef VOID(CALLBACK* TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT;

typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
} MSG, *LPMSG;

typedef struct tagWNDCLASSEXW {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
  HICON hIconSm;
} WNDCLASSEXW;

typedef struct tagCREATESTRUCTW {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCWSTR lpszName;
  LPCWSTR lpszClass;
  DWORD dwExStyle;
} CREATESTRUCTW;

// Messages.
#define WM_NULL 0x0000u
#define WM_CREATE 0x0001u
#define WM_DESTROY 0x0002u
#define WM_SIZE 0x0005u
#define WM_SETTEXT 0x000Cu
#define WM_GETTEXT 0x000Du
#define WM_GETTEXTLENGTH 0x000Eu
#define WM_CLOSE 0x0010u
#define WM_QUIT 0x0012u
#define WM_SHOWWINDOW 0x0018u
#define WM_NCCREATE 0x0081u
#define WM_NCDESTROY 0x0082u
#define WM_COMMAND 0x0111u
#define WM_TIMER 0x0113u
#define WM_SETFONT 0x0030u
#define WM_GETFONT 0x0031u
#define WM_SETCURSOR 0x0020u
#define WM_NCLBUTTONDOWN 0x00A1u
#define WM_MOUSEMOVE 0x0200u
#define WM_LBUTTONDOWN 0x0201u
#define WM_LBUTTONUP 0x0202u
#define WM_MOUSELEAVE 0x02A3u
#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define TME_LEAVE 0x00000002u
typedef struct tagTRACKMOUSEEVENT {
  DWORD cbSize;
  DWORD dwFlags;
  HWND hwndTrack;
  DWORD dwHoverTime;
} TRACKMOUSEEVENT, *LPTRACKMOUSEEVENT;
#define WM_CTLCOLORSTATIC 0x0138u
#define WM_USER 0x0400u
#define MK_LBUTTON 0x0001u
#define HTCAPTION 2

#define MAKELPARAM(l, h) (static_cast<LPARAM>(static_cast<DWORD>((static_cast<WORD>(l)) | (static_cast<DWORD>(static_cast<WORD>(h)) << 16))))
#define MAKEWPARAM(l, h) (static_cast<WPARAM>(static_cast<DWORD>((static_cast<WORD>(l)) | (static_cast<DWORD>(static_cast<WORD>(h)) << 16))))
#define LOWORD(v) (static_cast<WORD>(static_cast<DWORD_PTR>(v) & 0xFFFF))
#define HIWORD(v) (static_cast<WORD>((static_cast<DWORD_PTR>(v) >> 16) & 0xFFFF))
#define GET_X_LPARAM(lp) (static_cast<int>(static_cast<short>(LOWORD(lp))))
#define GET_Y_LPARAM(lp) (static_cast<int>(static_cast<short>(HIWORD(lp))))

// Static controls.
#define SS_LEFT 0x0000u
#define SS_CENTER 0x0001u
#define SS_RIGHT 0x0002u
#define SS_BITMAP 0x000Eu
#define SS_NOTIFY 0x0100u
#define SS_CENTERIMAGE 0x0200u
#define STM_SETIMAGE 0x0172u
#define STM_GETIMAGE 0x0173u
#define IMAGE_BITMAP 0
#define STN_CLICKED 0

// List boxes.
#define LB_ADDSTRING 0x0180u
#define LB_RESETCONTENT 0x0184u
#define LB_GETTEXT 0x0189u
#define LB_GETTEXTLEN 0x018Au
#define LB_GETCOUNT 0x018Bu
#define LB_SETITEMHEIGHT 0x01A0u
#define LB_GETITEMHEIGHT 0x01A1u
#define LB_ERR (-1)

// Combo boxes.
#define CBS_DROPDOWNLIST 0x0003u
#define CB_ADDSTRING 0x0143u
#define CB_GETCOUNT 0x0146u
#define CB_GETCURSEL 0x0147u
#define CB_GETLBTEXT 0x0148u
#define CB_GETLBTEXTLEN 0x0149u
#define CB_RESETCONTENT 0x014Bu
#define CB_SETCURSEL 0x014Eu
#define CB_ERR (-1)
#define CBN_SELCHANGE 1

// Buttons.
#define BS_PUSHBUTTON 0x0000u
#define BS_DEFPUSHBUTTON 0x0001u
#define BS_CHECKBOX 0x0002u
#define BS_AUTOCHECKBOX 0x0003u
#define BS_RADIOBUTTON 0x0004u
#define BS_GROUPBOX 0x0007u
#define BS_AUTORADIOBUTTON 0x0009u
#define BS_TYPEMASK 0x000Fu
#define BM_GETCHECK 0x00F0u
#define BM_SETCHECK 0x00F1u
#define BST_UNCHECKED 0
#define BST_CHECKED 1
#define BN_CLICKED 0

// Edit controls.
#define ES_AUTOHSCROLL 0x0080u
#define EM_SETSEL 0x00B1u
#define EN_CHANGE 0x0300u

// Scroll bars.
#define SBS_VERT 0x0001u
#define SB_LINEUP 0
#define SB_LINEDOWN 1
#define SB_ENDSCROLL 8

// Dialogs.
#define DS_SETFONT 0x0040u
#define WM_NOTIFY 0x004Eu
#define WM_INITDIALOG 0x0110u
#define WM_VSCROLL 0x0115u
#define WM_CHAR 0x0102u
#define WS_GROUP 0x00020000u
#define WS_TABSTOP 0x00010000u
#define DWLP_MSGRESULT 0
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);
// The fixed head of a dialog template; a template made by the resource compiler is the extended
// form, which begins with the version 1 and the signature 0xFFFF in its first two words.
#pragma pack(push, 2)
typedef struct DLGTEMPLATE {
  DWORD style;
  DWORD dwExtendedStyle;
  WORD cdit;
  short x;
  short y;
  short cx;
  short cy;
} DLGTEMPLATE;
#pragma pack(pop)
typedef const DLGTEMPLATE* LPCDLGTEMPLATEW;
typedef struct tagNMHDR {
  HWND hwndFrom;
  UINT_PTR idFrom;
  UINT code;
} NMHDR, *LPNMHDR;

// Property sheets: what a sheet tells its pages, and what a page tells its sheet.
#define PSN_FIRST (0u - 200u)
#define PSN_SETACTIVE (PSN_FIRST - 0u)
#define PSN_KILLACTIVE (PSN_FIRST - 1u)
#define PSN_APPLY (PSN_FIRST - 2u)
#define PSN_RESET (PSN_FIRST - 3u)
#define PSM_CHANGED (WM_USER + 104u)
#define ID_APPLY_NOW 0x3021

// Progress bars ("msctls_progress32").
#define PBM_SETPOS 0x0402u
#define PBM_SETRANGE32 0x0406u
#define PBM_GETPOS 0x0408u

// Window styles and show commands.
#define WS_OVERLAPPED 0x00000000u
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_CAPTION 0x00C00000u
#define WS_SYSMENU 0x00080000u
#define WS_MINIMIZEBOX 0x00020000u
#define WS_EX_APPWINDOW 0x00040000u
#define WS_EX_TOOLWINDOW 0x00000080u
#define CW_USEDEFAULT (static_cast<int>(0x80000000))
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_RESTORE 9
#define WS_DISABLED 0x08000000u
#define WS_EX_LAYERED 0x00080000u
#define GWLP_WNDPROC (-4)
#define GWLP_ID (-12)
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWLP_USERDATA (-21)
#define IDC_ARROW (reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(32512)))
#define IDC_WAIT (reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(32514)))
#define IDC_HAND (reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(32649)))
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u

// Message boxes.
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ABORTRETRYIGNORE 0x00000002u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_RETRYCANCEL 0x00000005u
#define MB_ICONERROR 0x00000010u
#define MB_ICONHAND MB_ICONERROR
#define MB_ICONSTOP MB_ICONERROR
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONWARNING 0x00000030u
#define MB_ICONEXCLAMATION MB_ICONWARNING
#define MB_ICONINFORMATION 0x00000040u
#define MB_DEFBUTTON1 0x00000000u
#define MB_DEFBUTTON2 0x00000100u
#define MB_DEFBUTTON3 0x00000200u
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

// Menus.
#define MF_STRING 0x00000000u
#define MF_BYCOMMAND 0x00000000u
#define MF_POPUP 0x00000010u
#define MF_BYPOSITION 0x00000400u
#define MF_SEPARATOR 0x00000800u

// Ending the session.
#define EWX_LOGOFF 0x00000000u
#define EWX_SHUTDOWN 0x00000001u
#define EWX_REBOOT 0x00000002u
#define EWX_FORCE 0x00000004u
#define EWX_FORCEIFHUNG 0x00000010u

extern "C" {
WINSIM_API BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason);
WINSIM_API ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* lpwcx);
WINSIM_API BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE hInstance);
WINSIM_API HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X,
                                       int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                                       HINSTANCE hInstance, LPVOID lpParam);
WINSIM_API BOOL WINAPI DestroyWindow(HWND hWnd);
WINSIM_API BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow);
WINSIM_API BOOL WINAPI UpdateWindow(HWND hWnd);
WINSIM_API BOOL WINAPI IsWindow(HWND hWnd);
WINSIM_API BOOL WINAPI IsWindowVisible(HWND hWnd);
WINSIM_API int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount);
WINSIM_API BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString);
WINSIM_API BOOL WINAPI IsIconic(HWND hWnd);
WINSIM_API HWND WINAPI SetCapture(HWND hWnd);
WINSIM_API BOOL WINAPI ReleaseCapture(void);
WINSIM_API HWND WINAPI GetCapture(void);
WINSIM_API HCURSOR WINAPI LoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName);
WINSIM_API HCURSOR WINAPI SetCursor(HCURSOR hCursor);
WINSIM_API BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable);
WINSIM_API BOOL WINAPI IsWindowEnabled(HWND hWnd);
WINSIM_API HWND WINAPI GetParent(HWND hWnd);
WINSIM_API int WINAPI GetSystemMetrics(int nIndex);
WINSIM_API BOOL WINAPI TrackMouseEvent(LPTRACKMOUSEEVENT lpEventTrack);
WINSIM_API BOOL WINAPI SetPropW(HWND hWnd, LPCWSTR lpString, HANDLE hData);
WINSIM_API HANDLE WINAPI GetPropW(HWND hWnd, LPCWSTR lpString);
WINSIM_API HANDLE WINAPI RemovePropW(HWND hWnd, LPCWSTR lpString);
WINSIM_API UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc);
WINSIM_API BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent);
WINSIM_API LONG_PTR WINAPI GetWindowLongPtrW(HWND hWnd, int nIndex);
WINSIM_API LONG_PTR WINAPI SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong);
WINSIM_API HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName);
WINSIM_API LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINSIM_API LRESULT WINAPI CallWindowProcW(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINSIM_API BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
WINSIM_API BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
WINSIM_API BOOL WINAPI TranslateMessage(const MSG* lpMsg);
WINSIM_API LRESULT WINAPI DispatchMessageW(const MSG* lpMsg);
WINSIM_API BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINSIM_API LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINSIM_API void WINAPI PostQuitMessage(int nExitCode);
WINSIM_API int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
WINSIM_API int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
WINSIM_API HMENU WINAPI CreateMenu(void);
WINSIM_API HMENU WINAPI CreatePopupMenu(void);
WINSIM_API BOOL WINAPI DestroyMenu(HMENU hMenu);
WINSIM_API BOOL WINAPI AppendMenuW(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem);
WINSIM_API BOOL WINAPI ModifyMenuW(HMENU hMnu, UINT uPosition, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem);
WINSIM_API BOOL WINAPI DeleteMenu(HMENU hMenu, UINT uPosition, UINT uFlags);
WINSIM_API int WINAPI GetMenuItemCount(HMENU hMenu);
WINSIM_API int WINAPI GetMenuStringW(HMENU hMenu, UINT uIDItem, LPWSTR lpString, int cchMax, UINT flags);
WINSIM_API int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
WINSIM_API int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
WINSIM_API HWND WINAPI CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                                          DLGPROC lpDialogFunc, LPARAM dwInitParam);
WINSIM_API HWND WINAPI CreateDialogIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW lpTemplate, HWND hWndParent,
                                                  DLGPROC lpDialogFunc, LPARAM dwInitParam);
WINSIM_API LRESULT WINAPI DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam);
WINSIM_API HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem);
WINSIM_API int WINAPI GetDlgCtrlID(HWND hWnd);
WINSIM_API BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString);
WINSIM_API UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax);
WINSIM_API LRESULT WINAPI SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam);
WINSIM_API BOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck);
WINSIM_API UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton);
WINSIM_API BOOL WINAPI CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton);
}

#endif  // !_WIN32
