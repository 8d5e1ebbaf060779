// rundll32.exe of the simulated machine, with the one entry the product calls:
// "rundll32 printui.dll,PrintUIEntry OPTIONS", the system printer user interface.
//
//   /if /b NAME /f INF /r PORT /m MODEL   install the model's driver from the INF, then add the
//                                         printer NAME on PORT (an existing NAME is not replaced)
//   /dl /n NAME                           delete the printer
//   /dd /m MODEL                          delete the driver (refused while a printer uses it)
//   /p /n NAME                            show the printer's properties, with the pages of its
//                                         driver's UI plug-in, until the user closes them
//   /h ARCH                               the driver's architecture: x86 (or Intel), x64
//   /q                                    quiet: a failure is not shown in a message box
//
// A value may follow its option as the next argument or stuck to it ("/n\"Office\""). The command
// line is split the way the C run-time splits it, so a quoted name with blanks arrives whole.
// What it did, its result (0 or the Windows error code) and its exit code (0 on success, 1 on a
// failure: an exit status carries no more) go to the machine's events.
#include <nlohmann/json.hpp>

#include <optional>

#include "args.h"
#include "common/CommandLine.h"
#include "common/text.h"
#include "printui_properties.h"
#include "win32/spooler.h"
#include "win32/user.h"
#include "winsim/winsim.h"

namespace {

using json = nlohmann::json;

WCHAR Lower(WCHAR c) { return c >= u'A' && c <= u'Z' ? static_cast<WCHAR>(c + 32) : c; }

WStr LowerAscii(WStrView s) {
  WStr out(s);
  for (WCHAR& c : out) c = Lower(c);
  return out;
}

struct Request {
  WStr action;  // "if", "dl", "dd", "p"
  std::optional<WStr> name, base, inf, port, model, arch;
  bool quiet = false;
};

// The options of PrintUIEntry. False for anything it does not know, a value missing, or more than
// one action.
bool ParseOptions(const std::vector<WStr>& args, Request& r) {
  for (size_t i = 0; i < args.size(); ++i) {
    WStr opt = LowerAscii(args[i]);
    if (opt.size() < 2 || opt[0] != u'/') return false;
    if (opt == W_("/q")) {
      r.quiet = true;
      continue;
    }
    if (opt == W_("/if") || opt == W_("/dl") || opt == W_("/dd") || opt == W_("/p")) {
      if (!r.action.empty()) return false;
      r.action = opt.substr(1);
      continue;
    }
    std::optional<WStr>* slot = nullptr;
    switch (opt[1]) {
      case u'n': slot = &r.name; break;
      case u'b': slot = &r.base; break;
      case u'f': slot = &r.inf; break;
      case u'r': slot = &r.port; break;
      case u'm': slot = &r.model; break;
      case u'h': slot = &r.arch; break;
      default: return false;
    }
    if (args[i].size() > 2) {
      *slot = args[i].substr(2);
    } else if (i + 1 < args.size()) {
      *slot = args[++i];
    } else {
      return false;
    }
  }
  return !r.action.empty();
}

// The spooler environment of an architecture name; empty for one the machine does not know.
WStr Environment(const std::optional<WStr>& arch) {
  if (!arch) return {};
  WStr a = LowerAscii(*arch);
  if (a == W_("x86") || a == W_("intel") || a == W_("windows nt x86")) return W_("Windows NT x86");
  if (a == W_("x64") || a == W_("windows x64")) return W_("Windows x64");
  return W_("?");
}

WStr NativeEnvironment() {
  SYSTEM_INFO si{};
  GetNativeSystemInfo(&si);
  return si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? W_("Windows x64") : W_("Windows NT x86");
}

bool PortExists(const WStr& port) {
  DWORD needed = 0, returned = 0;
  EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned);
  std::vector<BYTE> buf(needed ? needed : 1);
  if (!EnumPortsW(nullptr, 1, buf.data(), needed, &needed, &returned)) return false;
  auto* ports = reinterpret_cast<const PORT_INFO_1W*>(buf.data());
  for (DWORD i = 0; i < returned; ++i)
    if (ports[i].pName && WStrView(ports[i].pName) == port) return true;
  return false;
}

DWORD LastErrorOr(DWORD fallback) {
  DWORD e = GetLastError();
  return e ? e : fallback;
}

DWORD DeletePrinterNamed(const WStr& name) {
  PRINTER_DEFAULTSW defaults{};
  defaults.DesiredAccess = PRINTER_ALL_ACCESS;
  WStr copy = name;
  HANDLE h = nullptr;
  if (!OpenPrinterW(copy.data(), &h, &defaults)) return LastErrorOr(ERROR_INVALID_PRINTER_NAME);
  DWORD result = DeletePrinter(h) ? 0 : LastErrorOr(ERROR_ACCESS_DENIED);
  ClosePrinter(h);
  return result;
}

DWORD DeleteDriverNamed(const WStr& model, const WStr& env) {
  WStr name = model, environment = env;
  return DeletePrinterDriverW(nullptr, environment.data(), name.data()) ? 0 : LastErrorOr(ERROR_UNKNOWN_PRINTER_DRIVER);
}

DWORD InstallPrinter(const Request& r, const WStr& env) {
  if (env != NativeEnvironment()) return ERROR_INVALID_ENVIRONMENT;
  WStr name = *r.base;
  HANDLE existing = nullptr;
  if (OpenPrinterW(name.data(), &existing, nullptr)) {  // an existing printer is not replaced
    ClosePrinter(existing);
    return ERROR_PRINTER_ALREADY_EXISTS;
  }
  if (!PortExists(*r.port)) return ERROR_UNKNOWN_PORT;
  if (DWORD e = winsim::install_inf_printer_driver(*r.inf, *r.model)) return e;
  WStr port = *r.port, driver = *r.model, processor = W_("WinPrint"), datatype = W_("RAW"), empty;
  PRINTER_INFO_2W info{};
  info.pPrinterName = name.data();
  info.pPortName = port.data();
  info.pDriverName = driver.data();
  info.pPrintProcessor = processor.data();
  info.pDatatype = datatype.data();
  info.pShareName = info.pComment = info.pLocation = info.pSepFile = info.pParameters = empty.data();
  info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
  info.Priority = 1;
  HANDLE added = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  if (!added) return LastErrorOr(ERROR_INVALID_PARAMETER);
  ClosePrinter(added);
  return 0;
}

DWORD Run(const Request& r, json& detail) {
  WStr env = r.arch ? Environment(r.arch) : NativeEnvironment();
  if (env == W_("?")) return ERROR_INVALID_ENVIRONMENT;
  if (r.action == W_("p")) return r.name && !r.name->empty() ? ShowPrinterProperties(*r.name, detail) : ERROR_INVALID_PARAMETER;
  if (r.action == W_("dl")) return r.name && !r.name->empty() ? DeletePrinterNamed(*r.name) : ERROR_INVALID_PARAMETER;
  if (r.action == W_("dd")) return r.model && !r.model->empty() ? DeleteDriverNamed(*r.model, env) : ERROR_INVALID_PARAMETER;
  if (!r.base || !r.inf || !r.port || !r.model || r.base->empty() || r.model->empty()) return ERROR_INVALID_PARAMETER;
  return InstallPrinter(r, env);
}

int ExitCode(DWORD result) { return result ? 1 : 0; }

void Record(const WStr& commandLine, const Request& r, DWORD result, json ev = json::object()) {
  ev.update({{"type", "printui"}, {"command", ToUtf8(commandLine)}, {"quiet", r.quiet}, {"result", result},
             {"exit_code", ExitCode(result)}});
  if (!r.action.empty()) ev["action"] = ToUtf8(r.action);
  auto put = [&](const char* key, const std::optional<WStr>& v) {
    if (v) ev[key] = ToUtf8(*v);
  };
  put("printer", r.action == W_("if") ? r.base : r.name);
  put("driver", r.model);
  put("inf", r.inf);
  put("port", r.port);
  put("architecture", r.arch);
  try {
    winsim::record_event(ev.dump(-1, ' ', false, json::error_handler_t::replace));
  } catch (const std::exception&) {
    // The machine's event record is out of reach; the result still stands.
  }
}

int Fail(const WStr& commandLine, const WStr& text, DWORD code) {
  MessageBoxW(nullptr, text.c_str(), W_("RunDLL"), MB_OK | MB_ICONERROR);
  Record(commandLine, Request{}, code);
  return ExitCode(code);
}

}  // namespace

int main() {
  WStr commandLine = GetCommandLineW();
  std::vector<WStr> args = SplitCommandLine(commandLine);
  if (args.size() < 2) return 0;  // nothing to run
  WStr target = args[1];
  size_t comma = target.find(u',');
  WStr dll = LowerAscii(target.substr(0, comma));
  WStr entry = comma == WStr::npos ? WStr() : target.substr(comma + 1);
  if (dll != W_("printui.dll") && dll != W_("printui"))
    return Fail(commandLine, W_("There was a problem starting ") + target.substr(0, comma) +
                    W_("\r\n\r\nThe specified module could not be found."),
                ERROR_MOD_NOT_FOUND);
  if (entry != W_("PrintUIEntry"))
    return Fail(commandLine, W_("Error in ") + target.substr(0, comma) + W_("\r\nMissing entry:") + entry, ERROR_PROC_NOT_FOUND);

  Request r;
  json detail = json::object();
  DWORD result = ParseOptions({args.begin() + 2, args.end()}, r) ? Run(r, detail) : ERROR_INVALID_PARAMETER;
  Record(commandLine, r, result, detail);
  if (result != 0 && !r.quiet) {
    WStr msg = W_("Operation could not be completed (error 0x");
    static const char* hex = "0123456789abcdef";
    for (int shift = 28; shift >= 0; shift -= 4) msg += static_cast<WCHAR>(hex[(result >> shift) & 0xF]);
    msg += W_(").");
    MessageBoxW(nullptr, msg.c_str(), W_("Printers"), MB_OK | MB_ICONERROR);
  }
  return ExitCode(result);
}
