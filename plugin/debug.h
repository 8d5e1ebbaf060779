// The plug-in's diagnostic output: lines with a level (1 verbose ... 5 assertion) that reach the
// debugger through OutputDebugStringW/A when `DebugLevel` lets them through. Messages are
// printf-style formats; each literal carries its own prefix ("UIDLL:  ", "ERROR UIDLL:  ", ...).
#pragma once

#include <initializer_list>
#include <string>

#include "win32/base.h"

namespace dorvel {

enum TDebugLevel : int { DBG_VERBOSE = 1, DBG_TRACE = 2, DBG_WARNING = 3, DBG_ERROR = 4, DBG_RIP = 5 };

// One printf argument. Integers keep their value and are cut to the width the conversion asks
// for (32 bits unless "ll" or "I64"), as the platform's printf does.
class TDbgArg {
 public:
  enum Kind { kInt, kFloat, kWide, kNarrow, kPointer };
  TDbgArg(int v) : kind_(kInt), int_(v) {}
  TDbgArg(long v) : kind_(kInt), int_(v) {}
  TDbgArg(long long v) : kind_(kInt), int_(v) {}
  TDbgArg(unsigned v) : kind_(kInt), int_(static_cast<long long>(v)) {}
  TDbgArg(unsigned long v) : kind_(kInt), int_(static_cast<long long>(v)) {}
  TDbgArg(unsigned long long v) : kind_(kInt), int_(static_cast<long long>(v)) {}
  TDbgArg(double v) : kind_(kFloat), float_(v) {}
  TDbgArg(const WCHAR* s) : kind_(kWide), wide_(s) {}
  TDbgArg(const WStr& s) : kind_(kWide), wide_(s.c_str()) {}
  TDbgArg(const char* s) : kind_(kNarrow), narrow_(s) {}
  TDbgArg(const void* p) : kind_(kPointer), int_(static_cast<long long>(reinterpret_cast<uintptr_t>(p))) {}

  Kind kind() const { return kind_; }
  long long integer() const { return int_; }
  double real() const { return float_; }
  const WCHAR* wide() const { return wide_; }
  const char* narrow() const { return narrow_; }

 private:
  Kind kind_;
  long long int_ = 0;
  double float_ = 0;
  const WCHAR* wide_ = nullptr;
  const char* narrow_ = nullptr;
};
using TDbgArgs = std::initializer_list<TDbgArg>;

// printf-style formatting in the platform's wide flavour: %d %i %u %x %X %o %c %s %S %p %f %e %g
// with flags, width, precision ("*" from the arguments) and the length letters h l ll I64 w; %s
// is a wide text, %hs a narrow one. A conversion without its argument, or with an argument of
// the wrong kind, writes nothing for it. Never reads past its arguments.
WStr FormatW(WStrView fmt, TDbgArgs args = {});

// The threshold: a line is written when DebugLevel <= its level (3 at load).
extern INT DebugLevel;

// A wide line, cut to 260 characters.
void DbgPrintW(int level, WStrView fmt, TDbgArgs args = {});
// A narrow line in the ANSI code page; its buffer grows from 1024 bytes, doubling up to ten
// times, and a text still longer is cut.
void DbgPrintA(int level, WStrView fmt, TDbgArgs args = {});
// The assertion line "RIP <unit> (<line>): " then "\n"; `file` is the source path.
void DbgRip(const char* file, int line);

inline void VERBOSE(WStrView fmt, TDbgArgs args = {}) { DbgPrintW(DBG_VERBOSE, fmt, args); }
inline void TRACE(WStrView fmt, TDbgArgs args = {}) { DbgPrintW(DBG_TRACE, fmt, args); }
inline void WARNING(WStrView fmt, TDbgArgs args = {}) { DbgPrintW(DBG_WARNING, fmt, args); }
inline void ERR(WStrView fmt, TDbgArgs args = {}) { DbgPrintW(DBG_ERROR, fmt, args); }

}  // namespace dorvel

// A condition the module counts on; when it fails the assertion line names this unit and line.
#define DORVEL_ASSERT(cond)                                     \
  do {                                                          \
    if (!(cond)) ::dorvel::DbgRip(__FILE__, __LINE__);          \
  } while (0)
