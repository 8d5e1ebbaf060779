// Drawing: device contexts, 32-bit DIB sections, brushes, fonts, blits and text, and the window
// geometry and painting calls that go with them.
#pragma once

#include "win32/base.h"
#include "win32/user.h"

#ifndef _WIN32

struct HDC__ {
  int unused;
};
typedef HDC__* HDC;
typedef void* HGDIOBJ;  // any GDI object: bitmaps, brushes and fonts convert to it
struct HBITMAP__ {
  int unused;
};
typedef HBITMAP__* HBITMAP;
struct HFONT__ {
  int unused;
};
typedef HFONT__* HFONT;
typedef DWORD COLORREF;

#define RGB(r, g, b) \
  (static_cast<COLORREF>(static_cast<BYTE>(r) | (static_cast<WORD>(static_cast<BYTE>(g)) << 8) | (static_cast<DWORD>(static_cast<BYTE>(b)) << 16)))
#define GetRValue(c) (static_cast<BYTE>(c))
#define GetGValue(c) (static_cast<BYTE>((c) >> 8))
#define GetBValue(c) (static_cast<BYTE>((c) >> 16))

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *LPRECT;
typedef const RECT* LPCRECT;

typedef struct tagPAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
  BOOL fRestore;
  BOOL fIncUpdate;
  BYTE rgbReserved[32];
} PAINTSTRUCT, *LPPAINTSTRUCT;

typedef struct tagBITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} BITMAPINFOHEADER;

typedef struct tagRGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
} RGBQUAD;

typedef struct tagBITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
} BITMAPINFO;

typedef struct _BLENDFUNCTION {
  BYTE BlendOp;
  BYTE BlendFlags;
  BYTE SourceConstantAlpha;
  BYTE AlphaFormat;
} BLENDFUNCTION;

#define BI_RGB 0u
#define DIB_RGB_COLORS 0u
#define SRCCOPY 0x00CC0020u
#define BLACKONWHITE 1
#define COLORONCOLOR 3
#define HALFTONE 4
#define AC_SRC_OVER 0x00
#define AC_SRC_ALPHA 0x01
#define TRANSPARENT 1
#define OPAQUE 2
#define CLR_INVALID 0xFFFFFFFFu

// DrawTextW formats.
#define DT_TOP 0x00000000u
#define DT_LEFT 0x00000000u
#define DT_CENTER 0x00000001u
#define DT_RIGHT 0x00000002u
#define DT_VCENTER 0x00000004u
#define DT_BOTTOM 0x00000008u
#define DT_WORDBREAK 0x00000010u
#define DT_SINGLELINE 0x00000020u
#define DT_NOCLIP 0x00000100u
#define DT_CALCRECT 0x00000400u
#define DT_NOPREFIX 0x00000800u

// Fonts.
#define FW_NORMAL 400
#define FW_BOLD 700
#define DEFAULT_CHARSET 1
#define GB2312_CHARSET 134
#define OUT_DEFAULT_PRECIS 0
#define CLIP_DEFAULT_PRECIS 0
#define DEFAULT_QUALITY 0
#define ANTIALIASED_QUALITY 4
#define DEFAULT_PITCH 0

typedef struct tagLOGFONTW {
  LONG lfHeight;
  LONG lfWidth;
  LONG lfEscapement;
  LONG lfOrientation;
  LONG lfWeight;
  BYTE lfItalic;
  BYTE lfUnderline;
  BYTE lfStrikeOut;
  BYTE lfCharSet;
  BYTE lfOutPrecision;
  BYTE lfClipPrecision;
  BYTE lfQuality;
  BYTE lfPitchAndFamily;
  WCHAR lfFaceName[32];
} LOGFONTW;
#define DEFAULT_GUI_FONT 17

// System colours, as brushes (COLOR_x + 1).
#define COLOR_WINDOW 5
#define COLOR_WINDOWTEXT 8
#define COLOR_BTNFACE 15

// Painting and geometry.
#define WM_MOVE 0x0003u
#define WM_PAINT 0x000Fu
#define WM_ERASEBKGND 0x0014u
#define SWP_NOSIZE 0x0001u
#define SWP_NOMOVE 0x0002u
#define SWP_NOZORDER 0x0004u
#define SWP_NOACTIVATE 0x0010u
#define SWP_SHOWWINDOW 0x0040u
#define SWP_HIDEWINDOW 0x0080u
#define LWA_COLORKEY 0x00000001u
#define LWA_ALPHA 0x00000002u

extern "C" {
WINSIM_API HDC WINAPI GetDC(HWND hWnd);
WINSIM_API int WINAPI ReleaseDC(HWND hWnd, HDC hDC);
WINSIM_API HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint);
WINSIM_API BOOL WINAPI EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint);
WINSIM_API BOOL WINAPI InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase);
WINSIM_API HDC WINAPI CreateCompatibleDC(HDC hdc);
WINSIM_API BOOL WINAPI DeleteDC(HDC hdc);
WINSIM_API HBITMAP WINAPI CreateDIBSection(HDC hdc, const BITMAPINFO* pbmi, UINT usage, void** ppvBits,
                                           HANDLE hSection, DWORD offset);
WINSIM_API HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ h);
WINSIM_API BOOL WINAPI DeleteObject(HGDIOBJ ho);
WINSIM_API HBRUSH WINAPI CreateSolidBrush(COLORREF color);
WINSIM_API HFONT WINAPI CreateFontW(int cHeight, int cWidth, int cEscapement, int cOrientation, int cWeight,
                                    DWORD bItalic, DWORD bUnderline, DWORD bStrikeOut, DWORD iCharSet,
                                    DWORD iOutPrecision, DWORD iClipPrecision, DWORD iQuality, DWORD iPitchAndFamily,
                                    LPCWSTR pszFaceName);
WINSIM_API HFONT WINAPI CreateFontIndirectW(const LOGFONTW* lplf);
WINSIM_API HGDIOBJ WINAPI GetStockObject(int i);
WINSIM_API int WINAPI GetObjectW(HANDLE h, int c, LPVOID pv);
WINSIM_API BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect);
WINSIM_API BOOL WINAPI BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop);
WINSIM_API BOOL WINAPI StretchBlt(HDC hdcDest, int xDest, int yDest, int wDest, int hDest, HDC hdcSrc, int xSrc,
                                  int ySrc, int wSrc, int hSrc, DWORD rop);
WINSIM_API int WINAPI SetStretchBltMode(HDC hdc, int mode);
WINSIM_API BOOL WINAPI AlphaBlend(HDC hdcDest, int xoriginDest, int yoriginDest, int wDest, int hDest, HDC hdcSrc,
                                  int xoriginSrc, int yoriginSrc, int wSrc, int hSrc, BLENDFUNCTION ftn);
WINSIM_API int WINAPI FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr);
WINSIM_API COLORREF WINAPI SetTextColor(HDC hdc, COLORREF color);
WINSIM_API COLORREF WINAPI SetBkColor(HDC hdc, COLORREF color);
WINSIM_API int WINAPI SetBkMode(HDC hdc, int mode);
WINSIM_API int WINAPI DrawTextW(HDC hdc, LPCWSTR lpchText, int cchText, LPRECT lprc, UINT format);
WINSIM_API COLORREF WINAPI GetPixel(HDC hdc, int x, int y);
WINSIM_API BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect);
WINSIM_API BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect);
WINSIM_API BOOL WINAPI SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags);
WINSIM_API BOOL WINAPI SetLayeredWindowAttributes(HWND hwnd, COLORREF crKey, BYTE bAlpha, DWORD dwFlags);
WINSIM_API BOOL WINAPI MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint);
}

#endif  // !_WIN32
