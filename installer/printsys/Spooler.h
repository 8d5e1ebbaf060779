// Read-only questions to the local print spooler: which printers, drivers and ports exist, which
// port and driver a printer uses, whether it works offline, which jobs are queued and which printer
// is the default. Each query opens what it needs, asks, releases everything and returns; none keeps
// state, so they may run on any thread. A spooler that cannot be asked gives false, empty or 0.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "win32/spooler.h"

// Bytes for the spooler to pack its records and their strings into. Held as pointer-sized words
// so that the records at the start are aligned whatever their fields.
class TSpoolerBuffer {
 public:
  explicit TSpoolerBuffer(DWORD bytes = 0)
      : words_(static_cast<size_t>((std::uint64_t{bytes} + sizeof(DWORD_PTR) - 1) / sizeof(DWORD_PTR))),
        bytes_(bytes) {}

  LPBYTE data() { return bytes_ ? reinterpret_cast<LPBYTE>(words_.data()) : nullptr; }
  DWORD size() const { return bytes_; }
  // The first `count` records, never more than the buffer can hold.
  template <class T>
  std::span<const T> records(DWORD count) {
    size_t n = std::min<size_t>(count, bytes_ / sizeof(T));
    return {reinterpret_cast<const T*>(words_.data()), n};
  }
  template <class T>
  T* record() {
    return bytes_ >= sizeof(T) ? reinterpret_cast<T*>(words_.data()) : nullptr;
  }

 private:
  std::vector<DWORD_PTR> words_;
  DWORD bytes_;
};

// OpenPrinterW on a copy of the name (the function takes a writable string).
unique_printer OpenPrinterByName(const WStr& printerName, PRINTER_DEFAULTSW* defaults = nullptr);
// GetPrinterW: the size query, then the call into a buffer of that size. True when the second
// call succeeded; the record is then at the start of `buffer`.
bool ReadPrinterInfo(HANDLE printer, DWORD level, TSpoolerBuffer& buffer);

// The printer list: the names of all printers known to the current user (local printers and
// connections), in the spooler's order, read afresh on each call; empty when it cannot be read.
TStringList ReadPrinterList();

// A local printer of that name exists (ASCII letters ignore case).
bool PrinterExists(const WStr& printerName);
// An installed printer driver of that name exists (ASCII letters ignore case).
bool PrinterDriverExists(const WStr& driverName);
// A port of exactly that name exists. The port list is read into 2000 bytes: a longer list counts
// as no port.
bool PortExists(const WStr& portName);
// Fills `target` with the printer list, each name cut before its first " on ", and returns the
// default printer's index in the list, or -1. With no printers, or no target, the target stays as
// it was and the result is -1.
int ListPrinterNames(TStringList* target);
// The printer's port; empty when it cannot be read.
void GetPrinterPort(const WStr& printerName, WStr& port);
// The default printer's name through the narrow function. After a false result the thread's last
// error tells why: ERROR_FILE_NOT_FOUND when no default printer is set.
bool GetDefaultPrinterName(WStr& printerName);
// Whether the printer works online (not set to work offline). True when its attributes could be
// read; `online` is only set then.
bool IsPrinterOnline(const WStr& printerName, bool& online);
// The printer's driver; empty when the printer cannot be opened or read.
void GetPrinterDriverName(const WStr& printerName, WStr& driverName);
// The driver of the local printer of exactly that name, and whether another local printer uses
// the same driver. True when the local printers could be enumerated.
bool GetPrinterDriverUsage(const WStr& printerName, WStr& driverName, bool& shared);
// The number of jobs queued on the printer (at most 1000, read into 64000 bytes; 0 when the
// printer cannot be opened). When `jobs` is given it gets one line per job: `prefix` followed by
// "document(status)". The prefix is part of the line's format, so it must hold no "%" directive.
int CountPrinterJobs(const WStr& printerName, TStringList* jobs, const WStr& prefix);
// A job's status value as a text; the value is matched as a whole, not bit by bit.
WStr JobStatusText(DWORD status);
