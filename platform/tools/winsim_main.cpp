// winsim: makes, inspects and runs programs inside simulated Windows machines.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "win32/kernel.h"
#include "winsim/winsim.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  winsim new DIR [--version X.Y[.BUILD]] [--bits 32|64] [--lang LANGID] [--acp CODEPAGE]\n"
    "                 [--user NAME]\n"
    "      make a machine folder (default: Windows 7 SP1, 64-bit, English 1033, code page 1252)\n"
    "  winsim show DIR\n"
    "      describe a machine\n"
    "  winsim events DIR\n"
    "      print the recorded events, one JSON record a line\n"
    "  winsim fault DIR API [--call N] [--error CODE] [--image NAME]   |   winsim fault DIR --clear\n"
    "      make the N-th call (default: every call) of API fail with CODE (default 31)\n"
    "  winsim printer DIR add NAME --driver DRIVER --port PORT [--processor P] [--datatype T]\n"
    "                 [--share SHARENAME] [--comment TEXT] [--location TEXT] [--offline]\n"
    "  winsim printer DIR delete|online|offline|default NAME   |   winsim printer DIR default --none\n"
    "      add, delete, take offline or online, or make the default a printer\n"
    "  winsim driver DIR add NAME [--env \"Windows x64\"|\"Windows NT x86\"] [--version N]\n"
    "                 [--driver-file F] [--data-file F] [--config-file F]\n"
    "  winsim driver DIR delete NAME [--env ENV]\n"
    "      install or remove a printer driver (its files go to System32\\spool\\drivers)\n"
    "  winsim port DIR add NAME [--monitor MONITOR]   |   winsim port DIR delete NAME\n"
    "  winsim job DIR add PRINTER DOCUMENT [--status N]   |   winsim job DIR delete PRINTER ID\n"
    "      queue a print job (N: JOB_STATUS_ bits) or take it away\n"
    "  winsim reg DIR query KEY   |   winsim reg DIR add KEY [/v NAME] [/t TYPE] [/d DATA]\n"
    "  winsim reg DIR delete KEY [/v NAME]\n"
    "      read or change the registry (KEY: HKLM\\..., HKCU\\... or HKCR\\...; TYPE: REG_SZ,\n"
    "      REG_EXPAND_SZ, REG_DWORD, REG_BINARY (hex digits), REG_MULTI_SZ (texts split by \\0))\n"
    "  winsim plug DIR --device-id \"MFG:...;MDL:...;\" [--lpt] [USB OPTIONS]   |   winsim plug DIR --root HARDWAREID\n"
    "      attach a printer (USB unless --lpt) and print its instance ID; a driver in the store\n"
    "      that fits is installed at once\n"
    "  winsim usb DIR [PORT|INSTANCE [USB OPTIONS]]\n"
    "      list the USB printers, or change how one answers. USB OPTIONS: --answer now|never|MS\n"
    "      (the reply to a settings read comes after MS ms), --reply-length N (a reply of N\n"
    "      bytes: the items cut or zero-padded; 0: the five items), --refuse ITEM|none (writes of\n"
    "      that item change nothing), --unplug-after N|never (pulled out once it has taken N more\n"
    "      bytes), --writes take|stall, --status BYTE,\n"
    "      --items A,B,C,D,E; what a printer receives is recorded in the events\n"
    "  winsim unplug DIR INSTANCE|PORT\n"
    "  winsim policy DIR [--restart-needed] [--no-service] [--require-catalog]\n"
    "      how device installs answer from now on (no option: as usual)\n"
    "  winsim run DIR [--cd WINDIR] [--map X:=HOSTDIR]... [--script FILE] [--viewer \"VIEWER [ARGS]\"]\n"
    "             PROGRAM [ARGS...]\n"
    "      run PROGRAM (a path inside the machine, e.g. C:\\pkg\\Kelvane.exe) in the machine; with\n"
    "      --viewer, the diagnostic log viewer (e.g. \"C:\\Tools\\DebugLogViewer.exe -o C:\\log.txt\")\n"
    "      runs beside it, started first and ended after it has read the program's last line\n";

int usage_error(const std::string& why) {
  std::cerr << "winsim: " << why << "\n" << kUsage;
  return 2;
}

bool parse_uint(const std::string& s, unsigned& out, unsigned max) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(s.c_str(), &end, 0);
  if (errno || *end || v > max) return false;
  out = static_cast<unsigned>(v);
  return true;
}

int cmd_new(std::vector<std::string> args) {
  if (args.empty()) return usage_error("new needs a folder");
  winsim::MachineOptions o;
  std::string dir = args[0];
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i + 1 >= args.size()) return usage_error(a + " needs a value");
    const std::string& v = args[++i];
    unsigned n = 0;
    if (a == "--version") {
      if (!winsim::parse_version(v, o)) return usage_error("--version takes X.Y or X.Y.BUILD, e.g. 6.1");
    } else if (a == "--bits") {
      if (v != "32" && v != "64") return usage_error("--bits takes 32 or 64");
      o.is64 = v == "64";
    } else if (a == "--lang") {
      if (!parse_uint(v, n, 0xFFFF) || n == 0) return usage_error("--lang takes a language id such as 1033 or 2052");
      o.language = n;
    } else if (a == "--acp") {
      if (!parse_uint(v, n, 0xFFFF) || (n != 936 && n != 950 && n != 1252))
        return usage_error("--acp takes 936, 950 or 1252");
      o.acp = n;
    } else if (a == "--user") {
      if (v.empty() || v.find_first_of("\\/:*?\"<>|") != std::string::npos)
        return usage_error("--user takes a plain name");
      o.user = v;
    } else {
      return usage_error("unknown option " + a);
    }
  }
  if (fs::exists(dir + "/system.json")) {
    std::cerr << "winsim: " << dir << " already holds a machine\n";
    return 1;
  }
  winsim::create_machine(dir, o);
  std::cout << winsim::describe_machine(dir);
  return 0;
}

int cmd_fault(std::vector<std::string> args) {
  if (args.size() < 2) return usage_error("fault needs a folder and an API name or --clear");
  if (args[1] == "--clear") {
    winsim::clear_machine_faults(args[0]);
    return 0;
  }
  unsigned call = 0, error = 31;
  std::string image;
  for (size_t i = 2; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return usage_error(args[i] + " needs a value");
    if (args[i] == "--call" && parse_uint(args[i + 1], call, 0xFFFFFFFF)) continue;
    if (args[i] == "--error" && parse_uint(args[i + 1], error, 0xFFFFFFFF)) continue;
    if (args[i] == "--image") {
      image = args[i + 1];
      continue;
    }
    return usage_error("bad option " + args[i] + " " + args[i + 1]);
  }
  winsim::add_machine_fault(args[0], args[1], call, error, image);
  return 0;
}

// The options after the positional arguments of a spooler command: "--name value" pairs and
// the flags listed in `flags`; false (with the complaint made) for anything else.
bool parse_options(const std::vector<std::string>& args, size_t from, const std::vector<std::string>& names,
                   const std::vector<std::string>& flags, std::map<std::string, std::string>& out) {
  for (size_t i = from; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
      out[a] = "";
      continue;
    }
    if (std::find(names.begin(), names.end(), a) == names.end()) {
      usage_error("unknown option " + a);
      return false;
    }
    if (i + 1 >= args.size()) {
      usage_error(a + " needs a value");
      return false;
    }
    out[a] = args[++i];
  }
  return true;
}

std::string option(const std::map<std::string, std::string>& o, const std::string& name, const std::string& def = "") {
  auto it = o.find(name);
  return it == o.end() ? def : it->second;
}

int cmd_printer(const std::vector<std::string>& args) {
  if (args.size() < 3) return usage_error("printer needs a folder, add|delete|online|offline|default and a name");
  const std::string &dir = args[0], &verb = args[1], &name = args[2];
  std::map<std::string, std::string> o;
  if (verb == "add") {
    if (!parse_options(args, 3, {"--driver", "--port", "--processor", "--datatype", "--share", "--comment", "--location"},
                       {"--offline"}, o))
      return 2;
    if (!o.count("--driver") || !o.count("--port")) return usage_error("printer add needs --driver and --port");
    winsim::PrinterSetup p;
    p.name = name;
    p.driver = o["--driver"];
    p.port = o["--port"];
    p.processor = option(o, "--processor", p.processor);
    p.datatype = option(o, "--datatype", p.datatype);
    p.share = option(o, "--share");
    p.comment = option(o, "--comment");
    p.location = option(o, "--location");
    p.offline = o.count("--offline") > 0;
    winsim::add_printer(dir, p);
  } else if (args.size() != 3) {
    return usage_error("printer " + verb + " takes only a name");
  } else if (verb == "delete") {
    winsim::delete_printer(dir, name);
  } else if (verb == "offline" || verb == "online") {
    winsim::set_printer_offline(dir, name, verb == "offline");
  } else if (verb == "default") {
    winsim::set_default_printer(dir, name == "--none" ? "" : name);
  } else {
    return usage_error("unknown printer command " + verb);
  }
  return 0;
}

int cmd_driver(const std::vector<std::string>& args) {
  if (args.size() < 3) return usage_error("driver needs a folder, add|delete and a name");
  const std::string &dir = args[0], &verb = args[1], &name = args[2];
  std::map<std::string, std::string> o;
  if (verb == "add") {
    if (!parse_options(args, 3, {"--env", "--version", "--driver-file", "--data-file", "--config-file"}, {}, o)) return 2;
    winsim::DriverSetup d;
    d.name = name;
    d.environment = option(o, "--env");
    if (o.count("--version") && !parse_uint(o["--version"], d.version, 0xFFFFFFFF))
      return usage_error("--version takes a whole number");
    d.driver_file = option(o, "--driver-file", d.driver_file);
    d.data_file = option(o, "--data-file");
    d.config_file = option(o, "--config-file", d.config_file);
    winsim::add_driver(dir, d);
  } else if (verb == "delete") {
    if (!parse_options(args, 3, {"--env"}, {}, o)) return 2;
    winsim::delete_driver(dir, name, option(o, "--env"));
  } else {
    return usage_error("unknown driver command " + verb);
  }
  return 0;
}

int cmd_port(const std::vector<std::string>& args) {
  if (args.size() < 3) return usage_error("port needs a folder, add|delete and a name");
  std::map<std::string, std::string> o;
  if (args[1] == "add") {
    if (!parse_options(args, 3, {"--monitor"}, {}, o)) return 2;
    winsim::add_port(args[0], args[2], option(o, "--monitor", "Local Port"));
  } else if (args[1] == "delete" && args.size() == 3) {
    winsim::delete_port(args[0], args[2]);
  } else {
    return usage_error("port takes add NAME [--monitor M] or delete NAME");
  }
  return 0;
}

int cmd_job(const std::vector<std::string>& args) {
  if (args.size() < 4) return usage_error("job needs a folder, add|delete, a printer and a document or job id");
  std::map<std::string, std::string> o;
  unsigned n = 0;
  if (args[1] == "add") {
    if (!parse_options(args, 4, {"--status"}, {}, o)) return 2;
    if (o.count("--status") && !parse_uint(o["--status"], n, 0xFFFFFFFF)) return usage_error("--status takes a whole number");
    std::cout << "job " << winsim::add_job(args[0], args[2], args[3], n) << "\n";
  } else if (args[1] == "delete" && args.size() == 4) {
    if (!parse_uint(args[3], n, 0xFFFFFFFF)) return usage_error("job delete takes a job id");
    winsim::delete_job(args[0], args[2], n);
  } else {
    return usage_error("job takes add PRINTER DOCUMENT [--status N] or delete PRINTER ID");
  }
  return 0;
}

int cmd_reg(const std::vector<std::string>& args) {
  if (args.size() < 3) return usage_error("reg needs a folder, query|add|delete and a key");
  const std::string &dir = args[0], &verb = args[1], &key = args[2];
  std::map<std::string, std::string> o;
  if (!parse_options(args, 3, {"/v", "/t", "/d"}, {}, o)) return 2;
  if (verb == "query" && o.empty()) {
    std::cout << winsim::reg_query(dir, key);
  } else if (verb == "add") {
    winsim::reg_add(dir, key, option(o, "/v"), option(o, "/t"), option(o, "/d"));
  } else if (verb == "delete" && !o.count("/t") && !o.count("/d")) {
    std::string value = option(o, "/v");
    winsim::reg_delete(dir, key, o.count("/v") ? &value : nullptr);
  } else {
    return usage_error("reg takes query KEY, add KEY [/v NAME] [/t TYPE] [/d DATA] or delete KEY [/v NAME]");
  }
  return 0;
}

const std::vector<std::string> kUsbOptions = {"--answer", "--reply-length", "--refuse", "--unplug-after", "--writes", "--status",
                                             "--items"};

// The USB options of `plug` and `usb`; false (after saying why) when one is malformed.
bool usb_setup(const std::map<std::string, std::string>& o, winsim::UsbPrinterSetup& u) {
  auto number = [&](const std::string& name, unsigned max, unsigned& v) {
    if (parse_uint(option(o, name), v, max)) return true;
    usage_error(name + " takes a number up to " + std::to_string(max));
    return false;
  };
  unsigned v = 0;
  if (o.count("--answer")) {
    std::string a = option(o, "--answer");
    if (a == "now") u.answer_ms = 0;
    else if (a == "never") u.answer_ms = -1;
    else if (number("--answer", 3'600'000, v)) u.answer_ms = v;
    else return false;
  }
  if (o.count("--reply-length")) {
    if (!number("--reply-length", 65536, v)) return false;
    u.reply_length = v;
  }
  if (o.count("--refuse")) {
    if (option(o, "--refuse") == "none") u.refuse_item = -1;
    else if (number("--refuse", 255, v)) u.refuse_item = static_cast<int>(v);
    else return false;
  }
  if (o.count("--unplug-after")) {
    if (option(o, "--unplug-after") == "never") u.unplug_after = -1;
    else if (number("--unplug-after", 1u << 30, v)) u.unplug_after = v;
    else return false;
  }
  if (o.count("--writes")) {
    std::string w = option(o, "--writes");
    if (w != "take" && w != "stall") return usage_error("--writes is take or stall") == 0;
    u.stall_writes = w == "stall";
  }
  if (o.count("--status")) {
    if (!number("--status", 255, v)) return false;
    u.status = v;
  }
  if (o.count("--items")) {
    std::vector<unsigned> items;
    std::string list = option(o, "--items");
    for (size_t start = 0; start <= list.size();) {
      size_t end = std::min(list.find(',', start), list.size());
      if (!parse_uint(list.substr(start, end - start), v, 255)) return usage_error("--items takes five bytes: A,B,C,D,E") == 0;
      items.push_back(v);
      start = end + 1;
    }
    if (items.size() != 5) return usage_error("--items takes five bytes: A,B,C,D,E") == 0;
    u.items = items;
  }
  return true;
}

int cmd_usb(const std::vector<std::string>& args) {
  if (args.empty()) return usage_error("usb needs a folder");
  std::string dir = fs::absolute(args[0]).lexically_normal().string();
  if (args.size() == 1) {
    std::cout << winsim::describe_usb(dir);
    return 0;
  }
  std::map<std::string, std::string> o;
  if (!parse_options(args, 2, kUsbOptions, {}, o)) return 2;
  winsim::UsbPrinterSetup u;
  if (!usb_setup(o, u)) return 2;
  winsim::set_usb_printer(dir, args[1], u);
  return 0;
}

int cmd_plug(const std::vector<std::string>& args) {
  if (args.empty()) return usage_error("plug needs a folder");
  std::map<std::string, std::string> o;
  std::vector<std::string> names = {"--device-id", "--root"};
  names.insert(names.end(), kUsbOptions.begin(), kUsbOptions.end());
  if (!parse_options(args, 1, names, {"--lpt"}, o)) return 2;
  winsim::PlugSetup p;
  if (!usb_setup(o, p.usb)) return 2;
  if (o.count("--root")) {
    p.bus = winsim::PlugSetup::kRoot;
    p.hardware_id = o["--root"];
  } else if (o.count("--device-id")) {
    p.device_id = o["--device-id"];
    if (o.count("--lpt")) p.bus = winsim::PlugSetup::kLpt;
  } else {
    return usage_error("plug needs --device-id or --root");
  }
  // The driver store of this machine is searched at once, as Windows does when a device arrives.
  ::setenv("WINSIM_MACHINE", fs::absolute(args[0]).lexically_normal().c_str(), 1);
  std::cout << winsim::plug_printer(fs::absolute(args[0]).lexically_normal().string(), p) << "\n";
  return 0;
}

// Words of a command line given as one argument: blanks separate, double quotes group (Windows
// paths keep their backslashes).
std::vector<std::string> split_words(const std::string& line) {
  std::vector<std::string> out;
  std::string word;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (any) out.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) out.push_back(word);
  return out;
}

// A program of the machine made ready to start: where it is on the host and in the machine,
// its command line and its argument vector.
struct Launch {
  std::string host, full, host_cd, cmdline;
  std::vector<std::string> argv;
};

// Finds `program` (a path inside the machine, or a host path reached through Z:) and the folder
// it starts in; an error message when either is missing.
std::optional<Launch> prepare_launch(std::string program, std::string cd, const std::vector<std::string>& args,
                                     std::string& error) {
  if (!program.empty() && program[0] == '/') {  // a host path: reach it through Z:
    std::string w = "Z:" + program;
    for (auto& c : w)
      if (c == '/') c = '\\';
    program = w;
  }
  Launch l;
  l.host = winsim::host_path(program);
  struct stat st {};
  if (l.host.empty() || ::stat(l.host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = program + " is not a file in the machine";
    return std::nullopt;
  }
  if (cd.empty()) {
    auto slash = program.find_last_of('\\');
    cd = slash == std::string::npos ? "C:\\" : program.substr(0, slash == 2 ? 3 : slash);
  }
  l.host_cd = winsim::host_path(cd);
  if (l.host_cd.empty() || !fs::is_directory(l.host_cd)) {
    error = "--cd " + cd + " is not a folder in the machine";
    return std::nullopt;
  }
  // The Windows path of the image, so that it knows where it was started from.
  l.full = program;
  if (l.full.size() < 3 || l.full[1] != ':') l.full = cd + (cd.back() == '\\' ? "" : "\\") + program;
  l.cmdline = "\"" + l.full + "\"";
  for (auto& a : args) l.cmdline += " " + (a.find_first_of(" \t") == std::string::npos ? a : "\"" + a + "\"");
  l.argv.push_back(l.full);
  l.argv.insert(l.argv.end(), args.begin(), args.end());
  return l;
}

void set_launch_env(const Launch& l) {
  ::setenv("WINSIM_CMDLINE", l.cmdline.c_str(), 1);
  ::setenv("WINSIM_IMAGE", l.full.c_str(), 1);
  ::setenv("WINSIM_IMAGE_HOST", l.host.c_str(), 1);
}

// Starts a program of the machine as a child of this tool; 0 when it could not be started.
pid_t spawn(const Launch& l) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view kv(*e);
    if (kv.rfind("WINSIM_CMDLINE=", 0) && kv.rfind("WINSIM_IMAGE=", 0) && kv.rfind("WINSIM_IMAGE_HOST=", 0))
      env.emplace_back(kv);
  }
  env.push_back("WINSIM_CMDLINE=" + l.cmdline);
  env.push_back("WINSIM_IMAGE=" + l.full);
  env.push_back("WINSIM_IMAGE_HOST=" + l.host);
  std::vector<char*> envp, argv;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = l.argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addchdir_np(&fa, l.host_cd.c_str());
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, l.host.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : 0;
}

int wait_exit(pid_t pid) {
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Runs the program with the diagnostic viewer beside it: the viewer first, until it says it is
// ready to read; then the program; when the program has ended, the viewer reads what is left,
// saves it and ends too.
int run_with_viewer(const std::string& dir, const Launch& program, const std::string& viewer_cmd,
                    const std::string& cd) {
  std::vector<std::string> vargs = split_words(viewer_cmd);
  if (vargs.empty()) return usage_error("--viewer needs a command line");
  std::string error;
  std::string vprogram = vargs.front();
  vargs.erase(vargs.begin());
  vargs.push_back("-a");
  vargs.push_back(std::to_string(::getpid()));
  auto viewer = prepare_launch(vprogram, cd, vargs, error);
  if (!viewer) {
    std::cerr << "winsim: --viewer: " << error << "\n";
    return 1;
  }
  // This tool takes part in the machine only to hand the viewer its start and stop signs.
  winsim::use_machine(dir);
  winsim::declare_image(64, "C:\\Windows\\System32\\winsim.exe");
  HANDLE started = CreateEventW(nullptr, FALSE, FALSE, W_("Global\\DebugLogStartEvent"));
  pid_t vpid = spawn(*viewer);
  if (!vpid) {
    std::cerr << "winsim: cannot start the viewer " << vprogram << "\n";
    if (started) CloseHandle(started);
    return 1;
  }
  if (started) {
    if (WaitForSingleObject(started, 10000) != WAIT_OBJECT_0)
      std::cerr << "winsim: the viewer did not say it was ready; going on without waiting\n";
    CloseHandle(started);
  }
  pid_t ppid = spawn(program);
  int code = 1;
  if (ppid) {
    code = wait_exit(ppid);
  } else {
    std::cerr << "winsim: cannot start " << program.full << "\n";
  }
  HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, W_("Global\\DebugLogViewerStop"));
  if (stop) {
    SetEvent(stop);
    CloseHandle(stop);
  } else {
    ::kill(vpid, SIGTERM);  // it never got as far as reading
  }
  wait_exit(vpid);
  return code;
}

int cmd_run(std::vector<std::string> args) {
  if (args.empty()) return usage_error("run needs a folder");
  std::string dir = fs::absolute(args[0]).lexically_normal().string();
  std::string cd, script, viewer, drives = "{";
  size_t i = 1;
  for (; i < args.size() && args[i].rfind("--", 0) == 0; i += 2) {
    if (i + 1 >= args.size()) return usage_error(args[i] + " needs a value");
    const std::string& v = args[i + 1];
    if (args[i] == "--cd") {
      cd = v;
    } else if (args[i] == "--script") {
      script = fs::absolute(v).string();
      if (!fs::exists(script)) return usage_error("no user script " + v);
    } else if (args[i] == "--viewer") {
      viewer = v;
    } else if (args[i] == "--map") {
      auto eq = v.find('=');
      if (eq != 2 || v[1] != ':' || !std::isalpha(static_cast<unsigned char>(v[0])) || eq + 1 >= v.size())
        return usage_error("--map takes X:=HOSTDIR");
      std::string host = fs::absolute(v.substr(eq + 1)).lexically_normal().string();
      if (!fs::is_directory(host)) return usage_error("--map: " + host + " is not a folder");
      if (drives.size() > 1) drives += ",";
      drives += '"';
      drives.append(v, 0, 2);
      drives += "\":\"";
      for (char c : host) {
        if (c == '"' || c == '\\') drives += '\\';
        drives += c;
      }
      drives += '"';
    } else {
      return usage_error("unknown option " + args[i]);
    }
  }
  if (i >= args.size()) return usage_error("run needs a program");
  drives += "}";
  ::setenv("WINSIM_MACHINE", dir.c_str(), 1);
  ::setenv("WINSIM_DRIVES", drives.c_str(), 1);
  if (!script.empty()) ::setenv("WINSIM_USER_SCRIPT", script.c_str(), 1);
  try {
    winsim::describe_machine(dir);  // says plainly what is wrong with the machine, if anything
  } catch (const winsim::MachineError& e) {
    std::cerr << "winsim: " << e.what() << "\n";
    return 1;
  }
  std::string error;
  auto program = prepare_launch(args[i], cd, std::vector<std::string>(args.begin() + static_cast<long>(i) + 1, args.end()),
                                error);
  if (!program) {
    std::cerr << "winsim: " << error << "\n";
    return 1;
  }
  if (!viewer.empty()) return run_with_viewer(dir, *program, viewer, cd);
  set_launch_env(*program);
  if (::chdir(program->host_cd.c_str()) != 0) {
    std::cerr << "winsim: cannot enter " << program->host_cd << "\n";
    return 1;
  }
  std::vector<char*> argv;
  for (auto& a : program->argv) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execv(program->host.c_str(), argv.data());
  std::cerr << "winsim: cannot start " << args[i] << ": " << std::strerror(errno) << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage_error("no command");
  std::string cmd = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (cmd == "new") return cmd_new(args);
    if (cmd == "show") {
      if (args.size() != 1) return usage_error("show needs a folder");
      std::cout << winsim::describe_machine(args[0]);
      return 0;
    }
    if (cmd == "events") {
      if (args.size() != 1) return usage_error("events needs a folder");
      winsim::describe_machine(args[0]);
      for (auto& e : winsim::read_events(args[0])) std::cout << e << "\n";
      return 0;
    }
    if (cmd == "fault") return cmd_fault(args);
    if (cmd == "printer") return cmd_printer(args);
    if (cmd == "driver") return cmd_driver(args);
    if (cmd == "port") return cmd_port(args);
    if (cmd == "job") return cmd_job(args);
    if (cmd == "reg") return cmd_reg(args);
    if (cmd == "plug") return cmd_plug(args);
    if (cmd == "usb") return cmd_usb(args);
    if (cmd == "unplug") {
      if (args.size() != 2) return usage_error("unplug needs a folder and an instance ID or port");
      winsim::unplug_printer(args[0], args[1]);
      return 0;
    }
    if (cmd == "policy") {
      std::map<std::string, std::string> o;
      if (args.empty() || !parse_options(args, 1, {}, {"--restart-needed", "--no-service", "--require-catalog"}, o))
        return usage_error("policy needs a folder and its options");
      winsim::set_setup_policy(args[0], o.count("--restart-needed"), o.count("--no-service"), o.count("--require-catalog"));
      return 0;
    }
    if (cmd == "run") return cmd_run(args);
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
      std::cout << kUsage;
      return 0;
    }
  } catch (const winsim::MachineError& e) {
    std::cerr << "winsim: " << e.what() << "\n";
    return 1;
  }
  return usage_error("unknown command " + cmd);
}
