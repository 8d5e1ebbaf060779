// The print spooler's API (winspool.drv). Every call reads or changes the machine's spooler
// state under the machine lock, so that every process of the machine sees one spooler; records
// are packed into the caller's buffer with their strings after them, as the spooler does, and a
// buffer that is too small gets ERROR_INSUFFICIENT_BUFFER with the size needed.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#include "spooler_state.h"

namespace winsim {

namespace {

// An open printer, the local print server, or the local port monitor's configuration channel.
struct PrinterHandle : Object {
  enum Kind { kServer, kPrinter, kXcvMonitor } kind = kPrinter;
  WStr name;  // the printer's name when it was opened (kept up to date when renamed through it)
  ACCESS_MASK access = 0;
};

std::shared_ptr<PrinterHandle> printer_handle(HANDLE h) { return h ? process().get<PrinterHandle>(h) : nullptr; }

constexpr DWORD kDelete = 0x00010000;  // the standard DELETE right

ACCESS_MASK granted_access(PrinterHandle::Kind kind, ACCESS_MASK wanted) {
  // The machine's user administers it, so whatever is asked is granted; generic rights map onto
  // the spooler's own.
  bool server = kind != PrinterHandle::kPrinter;
  if (wanted == 0) return server ? SERVER_ACCESS_ENUMERATE : PRINTER_ACCESS_USE;
  ACCESS_MASK a = wanted & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (wanted & GENERIC_ALL) a |= server ? SERVER_ALL_ACCESS : PRINTER_ALL_ACCESS;
  if (wanted & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE)) a |= server ? SERVER_ACCESS_ENUMERATE : PRINTER_ACCESS_USE;
  return a;
}

bool is_local_server(LPCWSTR name) {
  if (!name || !*name) return true;
  WStrView n = name;
  return n.size() > 2 && n.substr(0, 2) == u"\\\\" && iequal(n.substr(2), machine().computer);
}

bool known_datatype(WStrView type, WStrView processor) {
  if (!iequal(processor, u"WinPrint")) return true;  // another processor speaks its own types
  for (const char16_t* t : {u"RAW", u"RAW [FF appended]", u"RAW [FF auto]", u"NT EMF 1.003", u"NT EMF 1.006",
                            u"NT EMF 1.007", u"NT EMF 1.008", u"TEXT", u"XPS2GDI"})
    if (iequal(type, t)) return true;
  return false;
}

// Printer names: 1 to 220 characters, no "," (it separates a name from its options) and no
// "\" (it separates a server from its printer).
bool valid_printer_name(WStrView name) {
  return !name.empty() && name.size() <= MAX_PRINTER_NAME && name.find_first_of(u",\\") == WStrView::npos;
}

DWORD check_ports(Spooler& s, LPCWSTR ports) {
  if (!ports) return ERROR_UNKNOWN_PORT;
  auto list = split_ports(ports);
  if (list.empty()) return ERROR_UNKNOWN_PORT;
  for (auto& p : list)
    if (!s.port(p)) return ERROR_UNKNOWN_PORT;
  return 0;
}

// A caller's device mode as stored bytes; empty when it is malformed.
std::vector<BYTE> devmode_bytes(const DEVMODEW* dm) {
  if (!dm || dm->dmSize < offsetof(DEVMODEW, dmOrientation) || dm->dmSize > sizeof(DEVMODEW)) return {};
  const auto* p = reinterpret_cast<const BYTE*>(dm);
  return std::vector<BYTE>(p, p + dm->dmSize + dm->dmDriverExtra);
}

WStr text_or_empty(LPCWSTR s) { return s ? WStr(s) : WStr(); }

// ---- packing records ----

// Places strings and device modes after the records; without a buffer it only counts.
class Packer {
 public:
  Packer(BYTE* buf, size_t at) : buf_(buf), at_(at) {}

  LPWSTR str(WStrView s) {
    at_ = (at_ + 1) & ~size_t(1);
    auto* p = buf_ ? reinterpret_cast<LPWSTR>(buf_ + at_) : nullptr;
    if (buf_) {
      std::memcpy(buf_ + at_, s.data(), s.size() * 2);
      std::memset(buf_ + at_ + s.size() * 2, 0, 2);
    }
    at_ += (s.size() + 1) * 2;
    return p;
  }

  // Names each ended by a terminator, the list by one more.
  LPWSTR multi(const std::vector<WStr>& names) {
    WStr all;
    for (auto& n : names) all += n + WStr(1, u'\0');
    return str(all);
  }

  LPDEVMODEW devmode(const std::vector<BYTE>& dm) {
    at_ = (at_ + 7) & ~size_t(7);
    auto* p = buf_ ? reinterpret_cast<LPDEVMODEW>(buf_ + at_) : nullptr;
    if (buf_) std::memcpy(buf_ + at_, dm.data(), dm.size());
    at_ += dm.size();
    return p;
  }

  size_t end() const { return at_; }

 private:
  BYTE* buf_;
  size_t at_;
};

// The two-call protocol: a measuring pass gives the size; a buffer that holds it gets the
// records, each followed in the buffer by what it points to.
template <class Rec, class Item, class Fill>
BOOL pack(const std::vector<Item>& items, LPBYTE buf, DWORD cb, LPDWORD needed, LPDWORD returned, Fill fill) {
  if (!needed || (returned == nullptr && items.size() != 1)) return fail(RPC_X_NULL_REF_POINTER, FALSE);
  if (returned) *returned = 0;
  if (!buf && cb) return fail(ERROR_INVALID_USER_BUFFER, FALSE);
  size_t records = sizeof(Rec) * items.size();
  Packer measure(nullptr, records);
  for (auto& item : items) {
    Rec scratch{};
    fill(measure, scratch, item);
  }
  if (measure.end() > 0xFFFFFFFFu) return fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  *needed = static_cast<DWORD>(measure.end());
  if (cb < measure.end()) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  Packer write(buf, records);
  for (size_t i = 0; i < items.size(); ++i) {
    Rec rec{};
    fill(write, rec, items[i]);
    std::memcpy(buf + i * sizeof(Rec), &rec, sizeof rec);
  }
  if (returned) *returned = static_cast<DWORD>(items.size());
  return TRUE;
}

// ---- printers ----

struct PrinterView {
  const Printer* p;
  const Spooler* s;
};

void fill_printer(DWORD level, Packer& w, BYTE* rec, const PrinterView& v) {
  const Printer& p = *v.p;
  switch (level) {
    case 1: {
      auto* r = reinterpret_cast<PRINTER_INFO_1W*>(rec);
      r->Flags = PRINTER_ENUM_ICON8;
      r->pDescription = w.str(p.name + u"," + p.driver + u"," + p.location);
      r->pName = w.str(p.name);
      r->pComment = w.str(p.comment);
      break;
    }
    case 2: {
      auto* r = reinterpret_cast<PRINTER_INFO_2W*>(rec);
      r->pServerName = nullptr;  // a local printer
      r->pPrinterName = w.str(p.name);
      r->pShareName = w.str(p.share);
      r->pPortName = w.str(p.port);
      r->pDriverName = w.str(p.driver);
      r->pComment = w.str(p.comment);
      r->pLocation = w.str(p.location);
      r->pDevMode = w.devmode(effective_devmode(*v.s, p, machine()));
      r->pSepFile = w.str(p.sepfile);
      r->pPrintProcessor = w.str(p.processor);
      r->pDatatype = w.str(p.datatype);
      r->pParameters = w.str(p.parameters);
      r->pSecurityDescriptor = nullptr;
      r->Attributes = p.attributes;
      r->Priority = p.priority;
      r->DefaultPriority = p.default_priority;
      r->StartTime = p.start_time;
      r->UntilTime = p.until_time;
      r->Status = p.status;
      r->cJobs = static_cast<DWORD>(p.jobs.size());
      r->AveragePPM = 0;
      break;
    }
    case 4: {
      auto* r = reinterpret_cast<PRINTER_INFO_4W*>(rec);
      r->pPrinterName = w.str(p.name);
      r->pServerName = nullptr;
      r->Attributes = p.attributes;
      break;
    }
    case 5: {
      auto* r = reinterpret_cast<PRINTER_INFO_5W*>(rec);
      r->pPrinterName = w.str(p.name);
      r->pPortName = w.str(p.port);
      r->Attributes = p.attributes;
      r->DeviceNotSelectedTimeout = 15000;
      r->TransmissionRetryTimeout = 45000;
      break;
    }
  }
}

template <class Rec>
BOOL pack_printers(DWORD level, const std::vector<PrinterView>& items, LPBYTE buf, DWORD cb, LPDWORD needed,
                   LPDWORD returned) {
  return pack<Rec>(items, buf, cb, needed, returned,
                   [&](Packer& w, Rec& r, const PrinterView& v) { fill_printer(level, w, reinterpret_cast<BYTE*>(&r), v); });
}

BOOL pack_printer_level(DWORD level, const std::vector<PrinterView>& items, LPBYTE buf, DWORD cb, LPDWORD needed,
                        LPDWORD returned) {
  switch (level) {
    case 1:
      return pack_printers<PRINTER_INFO_1W>(level, items, buf, cb, needed, returned);
    case 2:
      return pack_printers<PRINTER_INFO_2W>(level, items, buf, cb, needed, returned);
    case 4:
      return pack_printers<PRINTER_INFO_4W>(level, items, buf, cb, needed, returned);
    case 5:
      return pack_printers<PRINTER_INFO_5W>(level, items, buf, cb, needed, returned);
  }
  return fail(ERROR_INVALID_LEVEL, FALSE);
}

// Removes a printer, or marks it for removal once its last job is gone.
void remove_printer(Spooler& s, Printer& p) {
  WStr name = p.name;
  if (!p.jobs.empty()) {
    p.status |= PRINTER_STATUS_PENDING_DELETION;
    s.changed(PRINTER_CHANGE_SET_PRINTER, name);
    return;
  }
  s.printers.erase(s.printers.begin() + (&p - s.printers.data()));
  if (iequal(s.default_printer, name)) s.default_printer.clear();
  s.changed(PRINTER_CHANGE_DELETE_PRINTER, name);
}

// The fields of PRINTER_INFO_2 that a caller may set, checked as the spooler checks them.
DWORD apply_info2(Spooler& s, Printer& p, const PRINTER_INFO_2W& in, bool adding) {
  WStr name = text_or_empty(in.pPrinterName);
  if (!valid_printer_name(name)) return ERROR_INVALID_PRINTER_NAME;
  if (Printer* other = s.printer(name); other && other != &p) return ERROR_PRINTER_ALREADY_EXISTS;
  if (DWORD e = check_ports(s, in.pPortName)) return e;
  if (!in.pDriverName || !s.driver(in.pDriverName, native_environment(machine()))) return ERROR_UNKNOWN_PRINTER_DRIVER;
  if (!in.pPrintProcessor || !s.processor(in.pPrintProcessor)) return ERROR_UNKNOWN_PRINTPROCESSOR;
  WStr datatype = in.pDatatype && *in.pDatatype ? WStr(in.pDatatype) : WStr(adding ? u"RAW" : p.datatype);
  if (!known_datatype(datatype, in.pPrintProcessor)) return ERROR_INVALID_DATATYPE;
  WStr share = text_or_empty(in.pShareName);
  if ((in.Attributes & PRINTER_ATTRIBUTE_SHARED) && share.empty()) return ERROR_INVALID_SHARENAME;
  std::vector<BYTE> devmode;
  if (in.pDevMode) {
    devmode = devmode_bytes(in.pDevMode);
    if (devmode.empty()) return ERROR_INVALID_PARAMETER;
  }
  if (!adding && name != p.name) {
    if (iequal(s.default_printer, p.name)) s.default_printer = name;
  }
  p.name = name;
  p.port = in.pPortName;
  p.driver = s.driver(in.pDriverName, native_environment(machine()))->name;
  p.processor = in.pPrintProcessor;  // as given: the spooler keeps the caller's spelling
  p.datatype = datatype;
  p.share = share;
  p.comment = text_or_empty(in.pComment);
  p.location = text_or_empty(in.pLocation);
  p.sepfile = text_or_empty(in.pSepFile);
  p.parameters = text_or_empty(in.pParameters);
  p.attributes = (in.Attributes & ~static_cast<DWORD>(PRINTER_ATTRIBUTE_DEFAULT)) | PRINTER_ATTRIBUTE_LOCAL;
  p.priority = in.Priority;
  p.default_priority = in.DefaultPriority;
  p.start_time = in.StartTime;
  p.until_time = in.UntilTime;
  if (!devmode.empty()) p.devmode = std::move(devmode);
  return 0;
}

DWORD control_printer(Spooler& s, Printer& p, DWORD command, const BYTE* arg) {
  switch (command) {
    case 0:
      return 0;
    case PRINTER_CONTROL_PAUSE:
      p.status |= PRINTER_STATUS_PAUSED;
      return 0;
    case PRINTER_CONTROL_RESUME:
      p.status &= ~static_cast<DWORD>(PRINTER_STATUS_PAUSED);
      return 0;
    case PRINTER_CONTROL_PURGE:
      if (!p.jobs.empty()) s.changed(PRINTER_CHANGE_DELETE_JOB, p.name);
      p.jobs.clear();
      return 0;
    case PRINTER_CONTROL_SET_STATUS: {
      // The status comes as the value itself in the pointer argument; callers that pass the
      // address of a DWORD holding it are understood too (no object lives in the first 64 KB).
      auto v = reinterpret_cast<ULONG_PTR>(arg);
      DWORD status = 0;
      if (v < 0x10000)
        status = static_cast<DWORD>(v);
      else
        std::memcpy(&status, arg, sizeof status);
      p.status = status;
      return 0;
    }
  }
  return ERROR_INVALID_PRINTER_COMMAND;
}

// The printer behind an open handle, or the error a call on it gets.
DWORD printer_of(Spooler& s, const PrinterHandle* h, Printer*& out) {
  if (!h || h->kind != PrinterHandle::kPrinter) return ERROR_INVALID_HANDLE;
  out = s.printer(h->name);
  return out ? 0 : ERROR_INVALID_PRINTER_NAME;
}

// ---- drivers ----

WStr driver_file_path(const Driver& d, const WStr& file) {
  if (file.empty()) return {};
  return machine().system_dir + u"\\spool\\DRIVERS\\" + environment_folder(d.environment) + u"\\3\\" + file;
}

template <class Rec>
void fill_driver(Packer& w, Rec& r, const Driver* d) {
  if constexpr (std::is_same_v<Rec, DRIVER_INFO_1W>) {
    r.pName = w.str(d->name);
  } else {
    r.cVersion = d->version;
    r.pName = w.str(d->name);
    r.pEnvironment = w.str(d->environment);
    r.pDriverPath = w.str(driver_file_path(*d, d->driver_file));
    r.pDataFile = w.str(driver_file_path(*d, d->data_file));
    r.pConfigFile = w.str(driver_file_path(*d, d->config_file));
    if constexpr (std::is_same_v<Rec, DRIVER_INFO_3W> || std::is_same_v<Rec, DRIVER_INFO_6W>) {
      r.pHelpFile = w.str(driver_file_path(*d, d->help_file));
      std::vector<WStr> dependent;
      for (auto& f : d->dependent_files) dependent.push_back(driver_file_path(*d, f));
      r.pDependentFiles = w.multi(dependent);
      r.pMonitorName = w.str(d->monitor);
      r.pDefaultDataType = w.str(d->default_datatype);
    }
    if constexpr (std::is_same_v<Rec, DRIVER_INFO_6W>) {  // no previous names, date, version or maker kept
      r.pszzPreviousNames = w.multi({});
      r.pszMfgName = w.str(u"");
      r.pszOEMUrl = w.str(u"");
      r.pszHardwareID = w.str(u"");
      r.pszProvider = w.str(u"");
    }
  }
}

BOOL pack_drivers(DWORD level, const std::vector<const Driver*>& items, LPBYTE buf, DWORD cb, LPDWORD needed,
                  LPDWORD returned) {
  switch (level) {
    case 1:
      return pack<DRIVER_INFO_1W>(items, buf, cb, needed, returned, fill_driver<DRIVER_INFO_1W>);
    case 2:
      return pack<DRIVER_INFO_2W>(items, buf, cb, needed, returned, fill_driver<DRIVER_INFO_2W>);
    case 3:
      return pack<DRIVER_INFO_3W>(items, buf, cb, needed, returned, fill_driver<DRIVER_INFO_3W>);
    case 6:
      return pack<DRIVER_INFO_6W>(items, buf, cb, needed, returned, fill_driver<DRIVER_INFO_6W>);
  }
  return fail(ERROR_INVALID_LEVEL, FALSE);
}

// The environment a call names: its own when absent, every one for "all"; empty when unknown.
std::vector<WStr> environments_of(LPCWSTR env) {
  if (!env || !*env) return {native_environment(machine())};
  if (iequal(env, u"all")) return {kEnvX86, kEnvX64};
  WStr known = known_environment(env);
  if (known.empty()) return {};
  return {known};
}

BOOL delete_driver(LPCWSTR server, LPCWSTR env, LPCWSTR name, DWORD flags, DWORD version) {
  if (!is_local_server(server)) return fail(ERROR_INVALID_NAME, FALSE);
  auto envs = environments_of(env);
  if (envs.size() != 1) return fail(ERROR_INVALID_ENVIRONMENT, FALSE);
  if (!name || !*name) return fail(ERROR_UNKNOWN_PRINTER_DRIVER, FALSE);
  std::vector<WStr> unused_files;
  DWORD e = edit_spooler([&](Spooler& s) -> DWORD {
    Driver* d = s.driver(name, envs[0]);
    if (!d || ((flags & DPD_DELETE_SPECIFIC_VERSION) && d->version != version)) return ERROR_UNKNOWN_PRINTER_DRIVER;
    if (iequal(envs[0], native_environment(machine())) && s.driver_in_use(d->name)) return ERROR_PRINTER_DRIVER_IN_USE;
    std::vector<WStr> files = {d->driver_file, d->data_file, d->config_file, d->help_file};
    files.insert(files.end(), d->dependent_files.begin(), d->dependent_files.end());
    Driver gone = *d;
    s.drivers.erase(s.drivers.begin() + (d - s.drivers.data()));
    for (auto& f : files) {
      if (f.empty()) continue;
      bool shared = std::any_of(s.drivers.begin(), s.drivers.end(), [&](const Driver& o) {
        if (!iequal(o.environment, gone.environment)) return false;
        for (const WStr* of : {&o.driver_file, &o.data_file, &o.config_file, &o.help_file})
          if (iequal(*of, f)) return true;
        return std::any_of(o.dependent_files.begin(), o.dependent_files.end(), [&](const WStr& x) { return iequal(x, f); });
      });
      if (shared && (flags & DPD_DELETE_ALL_FILES)) return ERROR_PRINTER_DRIVER_IN_USE;
      if (!shared) unused_files.push_back(driver_file_path(gone, f));
    }
    s.changed(PRINTER_CHANGE_DELETE_PRINTER_DRIVER);
    return 0;
  });
  if (e) return fail(e, FALSE);
  if (flags & (DPD_DELETE_UNUSED_FILES | DPD_DELETE_ALL_FILES)) {
    for (auto& f : unused_files) {
      DWORD err = 0;
      auto r = resolve(f, err);
      if (r && r->exists) ::unlink(r->host.c_str());
    }
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// ---- ports ----

WStr port_description(const Port& p) {
  if (!p.description.empty()) return p.description;
  if (p.monitor == kLocalMonitor) return kLocalMonitor;
  if (iequal(p.monitor, u"USB Monitor")) return u"Virtual printer port for USB";
  return p.monitor;
}

// ---- jobs ----

SYSTEMTIME system_time_of(long long ms) {
  time_t secs = static_cast<time_t>(ms / 1000);
  struct tm t {};
  ::gmtime_r(&secs, &t);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(t.tm_year + 1900);
  st.wMonth = static_cast<WORD>(t.tm_mon + 1);
  st.wDayOfWeek = static_cast<WORD>(t.tm_wday);
  st.wDay = static_cast<WORD>(t.tm_mday);
  st.wHour = static_cast<WORD>(t.tm_hour);
  st.wMinute = static_cast<WORD>(t.tm_min);
  st.wSecond = static_cast<WORD>(t.tm_sec);
  st.wMilliseconds = static_cast<WORD>(ms % 1000);
  return st;
}

// ---- device modes ----

// Copies the fields the input marks as set onto the output, as a driver merges a caller's
// choices into a printer's settings.
void merge_devmode(std::vector<BYTE>& out, const DEVMODEW* in) {
  DEVMODEW dm{};
  std::memcpy(&dm, out.data(), std::min(out.size(), sizeof dm));
  size_t in_size = std::min<size_t>(in->dmSize, sizeof(DEVMODEW));
  DEVMODEW src{};
  std::memcpy(&src, in, in_size);
  struct Field {
    DWORD flag;
    size_t offset, size;
  };
  static const Field fields[] = {
      {DM_ORIENTATION, offsetof(DEVMODEW, dmOrientation), 2}, {DM_PAPERSIZE, offsetof(DEVMODEW, dmPaperSize), 2},
      {DM_PAPERLENGTH, offsetof(DEVMODEW, dmPaperLength), 2}, {DM_PAPERWIDTH, offsetof(DEVMODEW, dmPaperWidth), 2},
      {DM_SCALE, offsetof(DEVMODEW, dmScale), 2},             {DM_COPIES, offsetof(DEVMODEW, dmCopies), 2},
      {DM_DEFAULTSOURCE, offsetof(DEVMODEW, dmDefaultSource), 2},
      {DM_PRINTQUALITY, offsetof(DEVMODEW, dmPrintQuality), 2},
      {DM_COLOR, offsetof(DEVMODEW, dmColor), 2},             {DM_DUPLEX, offsetof(DEVMODEW, dmDuplex), 2},
      {DM_YRESOLUTION, offsetof(DEVMODEW, dmYResolution), 2}, {DM_TTOPTION, offsetof(DEVMODEW, dmTTOption), 2},
      {DM_COLLATE, offsetof(DEVMODEW, dmCollate), 2},         {DM_FORMNAME, offsetof(DEVMODEW, dmFormName), 64},
      {DM_NUP, offsetof(DEVMODEW, dmNup), 4},                 {DM_ICMMETHOD, offsetof(DEVMODEW, dmICMMethod), 4},
      {DM_ICMINTENT, offsetof(DEVMODEW, dmICMIntent), 4},     {DM_MEDIATYPE, offsetof(DEVMODEW, dmMediaType), 4},
      {DM_DITHERTYPE, offsetof(DEVMODEW, dmDitherType), 4},
  };
  for (auto& f : fields) {
    if (!(src.dmFields & f.flag) || f.offset + f.size > in_size) continue;
    std::memcpy(reinterpret_cast<BYTE*>(&dm) + f.offset, reinterpret_cast<const BYTE*>(&src) + f.offset, f.size);
    dm.dmFields |= f.flag;
  }
  dm.dmFormName[CCHFORMNAME - 1] = 0;
  std::memcpy(out.data(), &dm, std::min(out.size(), sizeof dm));
  // The driver's private part is taken over when it is the driver's own, by size and version.
  if (in->dmDriverExtra && in->dmDriverExtra == dm.dmDriverExtra && in->dmDriverVersion == dm.dmDriverVersion)
    std::memcpy(out.data() + dm.dmSize, reinterpret_cast<const BYTE*>(in) + in->dmSize, in->dmDriverExtra);
}

// ---- change notifications ----

struct ChangeNotification : SharedWaitable {
  std::mutex mu;
  DWORD filter = 0;
  WStr printer;  // empty: every printer of the server
  std::uint32_t seen = 0;

  // The changes this notification asks for that happened since it last looked.
  DWORD pending(const Spooler& s, std::uint32_t since) const {
    DWORD what = 0;
    bool complete = s.changes.empty() ? s.change_seq == since : s.changes.front().seq <= since + 1;
    if (!complete && s.change_seq != since) return filter;  // older changes were forgotten: report all kinds
    for (auto& c : s.changes)
      if (c.seq > since && (printer.empty() || c.printer.empty() || iequal(c.printer, printer))) what |= c.what;
    return what & filter;
  }

  bool wait_signalled(DWORD ms) override {
    const std::string& dir = machine().dir;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms == INFINITE ? 0 : ms);
    for (;;) {
      std::uint32_t counter = state_changes(dir, "spooler");
      std::uint32_t since;
      {
        std::lock_guard lock(mu);
        since = seen;
      }
      if (pending(read_spooler(), since)) return true;
      DWORD left = INFINITE;
      if (ms != INFINITE) {
        auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (rest <= 0) return false;
        left = static_cast<DWORD>(rest);
      }
      wait_state_change(dir, "spooler", counter, left);
    }
  }
};

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, HANDLE* phPrinter, LPPRINTER_DEFAULTSW pDefault) {
  if (DWORD e = fault("OpenPrinterW")) return fail(e, FALSE);
  if (!phPrinter) return fail(ERROR_INVALID_PARAMETER, FALSE);
  *phPrinter = nullptr;
  auto h = std::make_shared<PrinterHandle>();
  WStrView name = pPrinterName ? WStrView(pPrinterName) : WStrView();
  // "\\COMPUTER\Printer" names a printer of this machine too.
  if (name.size() > 2 && name.substr(0, 2) == u"\\\\") {
    size_t slash = name.find(u'\\', 2);
    if (!iequal(name.substr(2, slash == WStrView::npos ? WStrView::npos : slash - 2), machine().computer))
      return fail(ERROR_INVALID_PRINTER_NAME, FALSE);
    name = slash == WStrView::npos ? WStrView() : name.substr(slash + 1);
  }
  Spooler s = read_spooler();
  if (name.empty()) {
    h->kind = PrinterHandle::kServer;
  } else if (name[0] == u',') {
    WStrView what = name.substr(1);
    if (what.substr(0, 11) != u"XcvMonitor " || !iequal(what.substr(11), kLocalMonitor))
      return fail(ERROR_INVALID_PRINTER_NAME, FALSE);
    h->kind = PrinterHandle::kXcvMonitor;
    h->name = kLocalMonitor;
  } else {
    Printer* p = name.find(u',') == WStrView::npos ? s.printer(name) : nullptr;
    if (!p) return fail(ERROR_INVALID_PRINTER_NAME, FALSE);
    h->name = p->name;
    if (pDefault && pDefault->pDatatype && !known_datatype(pDefault->pDatatype, p->processor))
      return fail(ERROR_INVALID_DATATYPE, FALSE);
  }
  h->access = granted_access(h->kind, pDefault ? pDefault->DesiredAccess : 0);
  *phPrinter = process().add(h);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

WINSIM_API BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
  if (DWORD e = fault("ClosePrinter")) return fail(e, FALSE);
  if (!printer_handle(hPrinter)) return fail(ERROR_INVALID_HANDLE, FALSE);
  process().close(hPrinter);
  return TRUE;
}

WINSIM_API BOOL WINAPI EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                                     LPDWORD pcbNeeded, LPDWORD pcReturned) {
  if (DWORD e = fault("EnumPrintersW")) return fail(e, FALSE);
  if (Level != 1 && Level != 2 && Level != 4 && Level != 5) return fail(ERROR_INVALID_LEVEL, FALSE);
  if (!pcReturned) return fail(RPC_X_NULL_REF_POINTER, FALSE);
  // A local enumeration lists this machine's printers whatever name comes with it; by name, the
  // name must be this machine's.
  if ((Flags & PRINTER_ENUM_NAME) && !(Flags & PRINTER_ENUM_LOCAL) && !is_local_server(Name))
    return fail(ERROR_INVALID_NAME, FALSE);
  Spooler s = read_spooler();
  std::vector<PrinterView> items;
  if (Flags & (PRINTER_ENUM_LOCAL | PRINTER_ENUM_NAME | PRINTER_ENUM_SHARED | PRINTER_ENUM_DEFAULT)) {
    for (auto& p : s.printers) {
      if ((Flags & PRINTER_ENUM_SHARED) && !(p.attributes & PRINTER_ATTRIBUTE_SHARED)) continue;
      if (Flags == PRINTER_ENUM_DEFAULT && !iequal(p.name, s.default_printer)) continue;
      items.push_back({&p, &s});
    }
  }
  return pack_printer_level(Level, items, pPrinterEnum, cbBuf, pcbNeeded, pcReturned);
}

WINSIM_API BOOL WINAPI GetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf, LPDWORD pcbNeeded) {
  if (DWORD e = fault("GetPrinterW")) return fail(e, FALSE);
  auto h = printer_handle(hPrinter);
  if (!h) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (Level != 1 && Level != 2 && Level != 4 && Level != 5) return fail(ERROR_INVALID_LEVEL, FALSE);
  Spooler s = read_spooler();
  Printer* p = nullptr;
  if (DWORD e = printer_of(s, h.get(), p)) return fail(e, FALSE);
  return pack_printer_level(Level, {{p, &s}}, pPrinter, cbBuf, pcbNeeded, nullptr);
}

WINSIM_API BOOL WINAPI SetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD Command) {
  if (DWORD e = fault("SetPrinterW")) return fail(e, FALSE);
  auto h = printer_handle(hPrinter);
  if (!h || h->kind != PrinterHandle::kPrinter) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (Level != 0 && Level != 2 && Level != 5) return fail(ERROR_INVALID_LEVEL, FALSE);
  if (Level == 0 ? (Command < 1 || Command > PRINTER_CONTROL_SET_STATUS) : Command > PRINTER_CONTROL_SET_STATUS)
    return fail(ERROR_INVALID_PRINTER_COMMAND, FALSE);
  if (Level != 0 && !pPrinter) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!(h->access & PRINTER_ACCESS_ADMINISTER)) return fail(ERROR_ACCESS_DENIED, FALSE);
  WStr renamed;
  DWORD e = edit_spooler([&](Spooler& s) -> DWORD {
    Printer* p = nullptr;
    if (DWORD err = printer_of(s, h.get(), p)) return err;
    if (Level == 2) {
      PRINTER_INFO_2W in;
      std::memcpy(&in, pPrinter, sizeof in);
      if (DWORD err = apply_info2(s, *p, in, false)) return err;
    } else if (Level == 5) {
      PRINTER_INFO_5W in;
      std::memcpy(&in, pPrinter, sizeof in);
      if (DWORD err = check_ports(s, in.pPortName)) return err;
      p->port = in.pPortName;
      p->attributes = (in.Attributes & ~static_cast<DWORD>(PRINTER_ATTRIBUTE_DEFAULT)) | PRINTER_ATTRIBUTE_LOCAL;
    }
    if (DWORD err = control_printer(s, *p, Command, Level == 0 ? pPrinter : nullptr)) return err;
    renamed = p->name;
    s.changed(PRINTER_CHANGE_SET_PRINTER, p->name);
    return 0;
  });
  if (e) return fail(e, FALSE);
  h->name = renamed;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

WINSIM_API HANDLE WINAPI AddPrinterW(LPWSTR pName, DWORD Level, LPBYTE pPrinter) {
  if (DWORD e = fault("AddPrinterW")) return fail(e, static_cast<HANDLE>(nullptr));
  if (!is_local_server(pName)) return fail(ERROR_INVALID_NAME, static_cast<HANDLE>(nullptr));
  if (Level != 2) return fail(ERROR_INVALID_LEVEL, static_cast<HANDLE>(nullptr));
  if (!pPrinter) return fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  PRINTER_INFO_2W in;
  std::memcpy(&in, pPrinter, sizeof in);
  WStr name;
  DWORD e = edit_spooler([&](Spooler& s) -> DWORD {
    Printer p;
    if (DWORD err = apply_info2(s, p, in, true)) return err;
    name = p.name;
    s.printers.push_back(std::move(p));
    if (s.default_printer.empty()) s.default_printer = name;  // as Windows makes its first printer the default
    s.changed(PRINTER_CHANGE_ADD_PRINTER, name);
    return 0;
  });
  if (e) return fail(e, static_cast<HANDLE>(nullptr));
  auto h = std::make_shared<PrinterHandle>();
  h->name = name;
  h->access = PRINTER_ALL_ACCESS;
  SetLastError(ERROR_SUCCESS);
  return process().add(h);
}

WINSIM_API BOOL WINAPI DeletePrinter(HANDLE hPrinter) {
  if (DWORD e = fault("DeletePrinter")) return fail(e, FALSE);
  auto h = printer_handle(hPrinter);
  if (!h || h->kind != PrinterHandle::kPrinter) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!(h->access & kDelete)) return fail(ERROR_ACCESS_DENIED, FALSE);
  DWORD e = edit_spooler([&](Spooler& s) -> DWORD {
    Printer* p = nullptr;
    if (DWORD err = printer_of(s, h.get(), p)) return err;
    remove_printer(s, *p);
    return 0;
  });
  if (e) return fail(e, FALSE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

WINSIM_API BOOL WINAPI EnumPrinterDriversW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo,
                                           DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
  if (DWORD e = fault("EnumPrinterDriversW")) return fail(e, FALSE);
  if (!is_local_server(pName)) return fail(ERROR_INVALID_NAME, FALSE);
  if (Level < 1 || Level > 3) return fail(ERROR_INVALID_LEVEL, FALSE);
  if (!pcReturned) return fail(RPC_X_NULL_REF_POINTER, FALSE);
  auto envs = environments_of(pEnvironment);
  if (envs.empty()) return fail(ERROR_INVALID_ENVIRONMENT, FALSE);
  Spooler s = read_spooler();
  std::vector<const Driver*> items;
  for (auto& env : envs)
    for (auto& d : s.drivers)
      if (iequal(d.environment, env)) items.push_back(&d);
  return pack_drivers(Level, items, pDriverInfo, cbBuf, pcbNeeded, pcReturned);
}

WINSIM_API BOOL WINAPI GetPrinterDriverW(HANDLE hPrinter, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo,
                                         DWORD cbBuf, LPDWORD pcbNeeded) {
  if (DWORD e = fault("GetPrinterDriverW")) return fail(e, FALSE);
  auto h = printer_handle(hPrinter);
  if (!h) return fail(ERROR_INVALID_HANDLE, FALSE);
  if ((Level < 1 || Level > 3) && Level != 6) return fail(ERROR_INVALID_LEVEL, FALSE);
  auto envs = environments_of(pEnvironment);
  if (envs.size() != 1) return fail(ERROR_INVALID_ENVIRONMENT, FALSE);
  Spooler s = read_spooler();
  Printer* p = nullptr;
  if (DWORD e = printer_of(s, h.get(), p)) return fail(e, FALSE);
  const Driver* d = s.driver(p->driver, envs[0]);
  if (!d) return fail(ERROR_UNKNOWN_PRINTER_DRIVER, FALSE);
  return pack_drivers(Level, {d}, pDriverInfo, cbBuf, pcbNeeded, nullptr);
}

WINSIM_API BOOL WINAPI DeletePrinterDriverW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pDriverName) {
  if (DWORD e = fault("DeletePrinterDriverW")) return fail(e, FALSE);
  return delete_driver(pName, pEnvironment, pDriverName, 0, 0);
}

WINSIM_API BOOL WINAPI DeletePrinterDriverExW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pDriverName,
                                              DWORD dwDeleteFlag, DWORD dwVersionFlag) {
  if (DWORD e = fault("DeletePrinterDriverExW")) return fail(e, FALSE);
  return delete_driver(pName, pEnvironment, pDriverName, dwDeleteFlag, dwVersionFlag);
}

WINSIM_API BOOL WINAPI DeletePrinterDriverExA(LPSTR pName, LPSTR pEnvironment, LPSTR pDriverName, DWORD dwDeleteFlag,
                                              DWORD dwVersionFlag) {
  if (DWORD e = fault("DeletePrinterDriverExA")) return fail(e, FALSE);
  auto wide = [](LPCSTR s) { return s ? std::optional<WStr>(from_acp(s)) : std::nullopt; };
  auto name = wide(pName), env = wide(pEnvironment), driver = wide(pDriverName);
  return delete_driver(name ? name->c_str() : nullptr, env ? env->c_str() : nullptr, driver ? driver->c_str() : nullptr,
                       dwDeleteFlag, dwVersionFlag);
}

WINSIM_API BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPort, DWORD cbBuf, LPDWORD pcbNeeded,
                                  LPDWORD pcReturned) {
  if (DWORD e = fault("EnumPortsW")) return fail(e, FALSE);
  if (!is_local_server(pName)) return fail(ERROR_INVALID_NAME, FALSE);
  if (Level != 1 && Level != 2) return fail(ERROR_INVALID_LEVEL, FALSE);
  if (!pcReturned) return fail(RPC_X_NULL_REF_POINTER, FALSE);
  Spooler s = read_spooler();
  std::vector<const Port*> items;
  for (auto& p : s.ports) items.push_back(&p);
  if (Level == 1)
    return pack<PORT_INFO_1W>(items, pPort, cbBuf, pcbNeeded, pcReturned,
                              [](Packer& w, PORT_INFO_1W& r, const Port* p) { r.pName = w.str(p->name); });
  return pack<PORT_INFO_2W>(items, pPort, cbBuf, pcbNeeded, pcReturned, [](Packer& w, PORT_INFO_2W& r, const Port* p) {
    r.pPortName = w.str(p->name);
    r.pMonitorName = w.str(p->monitor);
    r.pDescription = w.str(port_description(*p));
    r.fPortType = p->monitor == kLocalMonitor ? PORT_TYPE_WRITE : PORT_TYPE_WRITE | PORT_TYPE_READ;
    r.Reserved = 0;
  });
}

WINSIM_API BOOL WINAPI EnumJobsW(HANDLE hPrinter, DWORD FirstJob, DWORD NoJobs, DWORD Level, LPBYTE pJob, DWORD cbBuf,
                                 LPDWORD pcbNeeded, LPDWORD pcReturned) {
  if (DWORD e = fault("EnumJobsW")) return fail(e, FALSE);
  auto h = printer_handle(hPrinter);
  if (!h) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (Level != 1) return fail(ERROR_INVALID_LEVEL, FALSE);
  if (!pcReturned) return fail(RPC_X_NULL_REF_POINTER, FALSE);
  Spooler s = read_spooler();
  Printer* p = nullptr;
  if (DWORD e = printer_of(s, h.get(), p)) return fail(e, FALSE);
  std::vector<std::pair<const Job*, DWORD>> items;  // with its place in the queue
  for (size_t i = FirstJob; i < p->jobs.size() && items.size() < NoJobs; ++i)
    items.push_back({&p->jobs[i], static_cast<DWORD>(i + 1)});
  WStr printer = p->name, computer = u"\\\\" + machine().computer;
  return pack<JOB_INFO_1W>(items, pJob, cbBuf, pcbNeeded, pcReturned,
                           [&](Packer& w, JOB_INFO_1W& r, const std::pair<const Job*, DWORD>& item) {
                             const Job& j = *item.first;
                             r.JobId = j.id;
                             r.pPrinterName = w.str(printer);
                             r.pMachineName = w.str(computer);
                             r.pUserName = w.str(j.user);
                             r.pDocument = w.str(j.document);
                             r.pDatatype = w.str(u"RAW");
                             r.pStatus = nullptr;  // no text of the port monitor's own
                             r.Status = j.status;
                             r.Priority = 1;
                             r.Position = item.second;
                             r.TotalPages = j.pages;
                             r.PagesPrinted = 0;
                             r.Submitted = system_time_of(j.submitted);
                           });
}

WINSIM_API BOOL WINAPI GetDefaultPrinterW(LPWSTR pszBuffer, LPDWORD pcchBuffer) {
  if (DWORD e = fault("GetDefaultPrinterW")) return fail(e, FALSE);
  if (!pcchBuffer) return fail(ERROR_INVALID_PARAMETER, FALSE);
  Spooler s = read_spooler();
  if (s.default_printer.empty()) return fail(ERROR_FILE_NOT_FOUND, FALSE);
  DWORD need = static_cast<DWORD>(s.default_printer.size() + 1);
  if (!pszBuffer || *pcchBuffer < need) {
    *pcchBuffer = need;
    return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  std::memcpy(pszBuffer, s.default_printer.c_str(), need * sizeof(WCHAR));
  *pcchBuffer = need;
  return TRUE;
}

WINSIM_API BOOL WINAPI GetDefaultPrinterA(LPSTR pszBuffer, LPDWORD pcchBuffer) {
  if (DWORD e = fault("GetDefaultPrinterA")) return fail(e, FALSE);
  if (!pcchBuffer) return fail(ERROR_INVALID_PARAMETER, FALSE);
  Spooler s = read_spooler();
  if (s.default_printer.empty()) return fail(ERROR_FILE_NOT_FOUND, FALSE);
  std::string name = to_acp(s.default_printer);
  DWORD need = static_cast<DWORD>(name.size() + 1);
  if (!pszBuffer || *pcchBuffer < need) {
    *pcchBuffer = need;
    return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  std::memcpy(pszBuffer, name.c_str(), need);
  *pcchBuffer = need;
  return TRUE;
}

WINSIM_API BOOL WINAPI SetDefaultPrinterW(LPCWSTR pszPrinter) {
  if (DWORD e = fault("SetDefaultPrinterW")) return fail(e, FALSE);
  DWORD e = edit_spooler([&](Spooler& s) -> DWORD {
    // No name keeps the default there is; without one, the first printer becomes the default.
    if (!pszPrinter || !*pszPrinter) {
      if (!s.default_printer.empty() || s.printers.empty()) return s.default_printer.empty() ? ERROR_FILE_NOT_FOUND : 0;
      s.default_printer = s.printers.front().name;
    } else {
      Printer* p = s.printer(pszPrinter);
      if (!p) return ERROR_INVALID_PRINTER_NAME;
      s.default_printer = p->name;
    }
    s.changed(PRINTER_CHANGE_SET_PRINTER, s.default_printer);
    return 0;
  });
  if (e) return fail(e, FALSE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

WINSIM_API BOOL WINAPI SetDefaultPrinterA(LPCSTR pszPrinter) {
  if (DWORD e = fault("SetDefaultPrinterA")) return fail(e, FALSE);
  if (!pszPrinter) return SetDefaultPrinterW(nullptr);
  return SetDefaultPrinterW(from_acp(pszPrinter).c_str());
}

WINSIM_API DWORD WINAPI GetPrinterDataW(HANDLE hPrinter, LPWSTR pValueName, LPDWORD pType, LPBYTE pData, DWORD nSize,
                                        LPDWORD pcbNeeded) {
  if (DWORD e = fault("GetPrinterDataW")) return e;
  auto h = printer_handle(hPrinter);
  if (!h) return ERROR_INVALID_HANDLE;
  if (!pcbNeeded) return RPC_X_NULL_REF_POINTER;
  Spooler s = read_spooler();
  Printer* p = nullptr;
  if (h->kind != PrinterHandle::kPrinter) return ERROR_FILE_NOT_FOUND;  // no server values are kept
  if (DWORD e = printer_of(s, h.get(), p)) return e;
  WStrView name = pValueName ? WStrView(pValueName) : WStrView();
  auto v = std::find_if(p->data.begin(), p->data.end(), [&](const PrinterValue& x) { return iequal(x.name, name); });
  if (v == p->data.end()) return ERROR_FILE_NOT_FOUND;
  *pcbNeeded = static_cast<DWORD>(v->bytes.size());
  if (pType) *pType = v->type;
  if (nSize < v->bytes.size() || (!pData && !v->bytes.empty())) return ERROR_MORE_DATA;
  if (!v->bytes.empty()) std::memcpy(pData, v->bytes.data(), v->bytes.size());
  return ERROR_SUCCESS;
}

WINSIM_API DWORD WINAPI SetPrinterDataW(HANDLE hPrinter, LPWSTR pValueName, DWORD Type, LPBYTE pData, DWORD cbData) {
  if (DWORD e = fault("SetPrinterDataW")) return e;
  auto h = printer_handle(hPrinter);
  if (!h || h->kind != PrinterHandle::kPrinter) return ERROR_INVALID_HANDLE;
  if (!(h->access & PRINTER_ACCESS_ADMINISTER)) return ERROR_ACCESS_DENIED;
  if (!pData && cbData) return ERROR_INVALID_PARAMETER;
  PrinterValue value;
  value.name = pValueName ? WStr(pValueName) : WStr();
  value.type = Type;
  if (cbData) value.bytes.assign(pData, pData + cbData);
  return edit_spooler([&](Spooler& s) -> DWORD {
    Printer* p = nullptr;
    if (DWORD e = printer_of(s, h.get(), p)) return e;
    auto v = std::find_if(p->data.begin(), p->data.end(), [&](const PrinterValue& x) { return iequal(x.name, value.name); });
    if (v == p->data.end())
      p->data.push_back(value);
    else
      *v = value;
    s.changed(PRINTER_CHANGE_SET_PRINTER, p->name);
    return 0;
  });
}

WINSIM_API BOOL WINAPI XcvDataW(HANDLE hXcv, LPCWSTR pszDataName, PBYTE pInputData, DWORD cbInputData,
                                PBYTE pOutputData, DWORD cbOutputData, PDWORD pcbOutputNeeded, PDWORD pdwStatus) {
  if (DWORD e = fault("XcvDataW")) return fail(e, FALSE);
  auto h = printer_handle(hXcv);
  if (!h || h->kind != PrinterHandle::kXcvMonitor) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!pszDataName || !pcbOutputNeeded || !pdwStatus) return fail(ERROR_INVALID_PARAMETER, FALSE);
  *pcbOutputNeeded = 0;
  // The port name of a request: UTF-16 up to its terminator, within the bytes given.
  auto port_name = [&]() -> std::optional<WStr> {
    if (!pInputData || cbInputData < 2) return std::nullopt;
    WStr n(cbInputData / 2, u'\0');
    std::memcpy(n.data(), pInputData, n.size() * 2);
    size_t end = n.find(u'\0');
    if (end == WStr::npos) return std::nullopt;
    n.resize(end);
    return n;
  };
  WStrView what = pszDataName;
  DWORD status = ERROR_INVALID_PARAMETER;
  if (what == u"AddPort" || what == u"DeletePort") {
    auto name = port_name();
    bool add = what == u"AddPort";
    if (!(h->access & SERVER_ACCESS_ADMINISTER)) {
      status = ERROR_ACCESS_DENIED;
    } else if (!name || name->empty() || name->size() >= MAX_PATH || name->find(u',') != WStr::npos) {
      status = ERROR_INVALID_PARAMETER;
    } else {
      status = edit_spooler([&](Spooler& s) -> DWORD {
        Port* p = s.port(*name);
        if (add) {
          if (p) return ERROR_ALREADY_EXISTS;
          s.ports.push_back({*name, kLocalMonitor, {}});
          s.changed(PRINTER_CHANGE_ADD_PORT);
          return 0;
        }
        if (!p || p->monitor != kLocalMonitor) return ERROR_UNKNOWN_PORT;
        for (auto& pr : s.printers)
          for (auto& one : split_ports(pr.port))
            if (iequal(one, p->name)) return ERROR_BUSY;
        s.ports.erase(s.ports.begin() + (p - s.ports.data()));
        s.changed(PRINTER_CHANGE_DELETE_PORT);
        return 0;
      });
    }
  } else if (what == u"PortExists") {
    auto name = port_name();
    if (name) {
      Spooler s = read_spooler();
      *pcbOutputNeeded = sizeof(DWORD);
      if (!pOutputData || cbOutputData < sizeof(DWORD)) {
        status = ERROR_INSUFFICIENT_BUFFER;
      } else {
        DWORD exists = s.port(*name) ? TRUE : FALSE;
        std::memcpy(pOutputData, &exists, sizeof exists);
        status = ERROR_SUCCESS;
      }
    }
  } else if (what == u"MonitorUI") {
    static const WStr ui = u"localui.dll";
    *pcbOutputNeeded = static_cast<DWORD>((ui.size() + 1) * 2);
    if (!pOutputData || cbOutputData < *pcbOutputNeeded) {
      status = ERROR_INSUFFICIENT_BUFFER;
    } else {
      std::memcpy(pOutputData, ui.c_str(), *pcbOutputNeeded);
      status = ERROR_SUCCESS;
    }
  }
  *pdwStatus = status;
  return TRUE;
}

WINSIM_API LONG WINAPI DocumentPropertiesW(HWND, HANDLE hPrinter, LPWSTR, PDEVMODEW pDevModeOutput,
                                           PDEVMODEW pDevModeInput, DWORD fMode) {
  if (DWORD e = fault("DocumentPropertiesW")) return fail(e, -1L);
  auto h = printer_handle(hPrinter);
  Spooler s = read_spooler();
  Printer* p = nullptr;
  if (DWORD e = printer_of(s, h.get(), p)) return fail(e, -1L);
  std::vector<BYTE> dm = effective_devmode(s, *p, machine());
  if (fMode == 0) return static_cast<LONG>(dm.size());
  if (!(fMode & DM_OUT_BUFFER)) return IDOK;  // nothing to hand back; a prompt is answered at once
  if (!pDevModeOutput) return fail(ERROR_INVALID_PARAMETER, -1L);
  if ((fMode & DM_IN_BUFFER) && pDevModeInput) {
    if (pDevModeInput->dmSize < offsetof(DEVMODEW, dmOrientation) || pDevModeInput->dmSize > sizeof(DEVMODEW))
      return fail(ERROR_INVALID_PARAMETER, -1L);
    merge_devmode(dm, pDevModeInput);
  }
  // The caller's buffer holds the full size it asked for (mode 0); the input may be that very
  // buffer, which is why the result was made apart first.
  std::memcpy(pDevModeOutput, dm.data(), dm.size());
  return IDOK;
}

WINSIM_API HANDLE WINAPI FindFirstPrinterChangeNotification(HANDLE hPrinter, DWORD fdwFilter, DWORD fdwOptions,
                                                            LPVOID pPrinterNotifyOptions) {
  if (DWORD e = fault("FindFirstPrinterChangeNotification")) return fail(e, INVALID_HANDLE_VALUE);
  auto h = printer_handle(hPrinter);
  if (!h) return fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  if (fdwOptions || (!fdwFilter && !pPrinterNotifyOptions)) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  auto n = std::make_shared<ChangeNotification>();
  n->filter = fdwFilter ? fdwFilter : PRINTER_CHANGE_ALL;
  if (h->kind == PrinterHandle::kPrinter) n->printer = h->name;
  n->seen = read_spooler().change_seq;
  SetLastError(ERROR_SUCCESS);
  return process().add(n);
}

WINSIM_API BOOL WINAPI FindNextPrinterChangeNotification(HANDLE hChange, PDWORD pdwChange, LPVOID,
                                                         LPVOID* ppPrinterNotifyInfo) {
  if (DWORD e = fault("FindNextPrinterChangeNotification")) return fail(e, FALSE);
  auto n = process().get<ChangeNotification>(hChange);
  if (!n) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (ppPrinterNotifyInfo) *ppPrinterNotifyInfo = nullptr;
  Spooler s = read_spooler();
  std::lock_guard lock(n->mu);
  DWORD what = n->pending(s, n->seen);
  n->seen = s.change_seq;
  if (pdwChange) *pdwChange = what;
  return TRUE;
}

WINSIM_API BOOL WINAPI FindClosePrinterChangeNotification(HANDLE hChange) {
  if (DWORD e = fault("FindClosePrinterChangeNotification")) return fail(e, FALSE);
  if (!process().get<ChangeNotification>(hChange)) return fail(ERROR_INVALID_HANDLE, FALSE);
  process().close(hChange);
  return TRUE;
}

}  // extern "C"
