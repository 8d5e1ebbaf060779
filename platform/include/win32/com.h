// COM basics of an in-process server: interface and class ids, IUnknown, IClassFactory, the
// class-factory results, interlocked counts and the registry text of a GUID.
#pragma once

#include "win32/base.h"

#ifdef _WIN32

#include <objbase.h>
#include <unknwn.h>

#else

#include <atomic>

typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;

#define STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT STDMETHODCALLTYPE

#define CLASS_E_NOAGGREGATION (static_cast<HRESULT>(0x80040110L))
#define CLASS_E_CLASSNOTAVAILABLE (static_cast<HRESULT>(0x80040111L))

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The interfaces keep the COM slot order: the virtual functions in declaration order, and no
// virtual destructor, which would add slots.
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};

// Interlocked counts: on Windows compiler intrinsics, here sequentially consistent atomics.
inline LONG InterlockedIncrement(LONG volatile* p) {
  return __atomic_add_fetch(const_cast<LONG*>(p), 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* p) {
  return __atomic_sub_fetch(const_cast<LONG*>(p), 1, __ATOMIC_SEQ_CST);
}

// The registry text of a GUID, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with its terminator (39
// characters); 0 when the buffer is smaller.
inline int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (!lpsz || cchMax < 39) return 0;
  const char* hex = "0123456789ABCDEF";
  int n = 0;
  auto put = [&](unsigned long long v, int digits) {
    for (int i = digits - 1; i >= 0; --i) lpsz[n++] = static_cast<OLECHAR>(hex[(v >> (i * 4)) & 0xF]);
  };
  lpsz[n++] = u'{';
  put(rguid.Data1, 8);
  lpsz[n++] = u'-';
  put(rguid.Data2, 4);
  lpsz[n++] = u'-';
  put(rguid.Data3, 4);
  lpsz[n++] = u'-';
  put(rguid.Data4[0], 2);
  put(rguid.Data4[1], 2);
  lpsz[n++] = u'-';
  for (int i = 2; i < 8; ++i) put(rguid.Data4[i], 2);
  lpsz[n++] = u'}';
  lpsz[n++] = u'\0';
  return n;
}

#endif  // !_WIN32
