// Shell services: SHFileOperationW (copy and delete, recursive, with the FOF_ flags for
// confirmations, error boxes, renaming on collision, files only and no recursion) and the known
// folders through SHGetFolderPathW / SHGetSpecialFolderPathW. They work through the machine's own
// file functions, so paths, case rules, attributes and faults behave as everywhere else.
#include "internal.h"
#include "win32/shell.h"

namespace winsim {

namespace {

// Codes the shell answers with for its own failures (Windows names them DE_*).
constexpr int kSameFile = 0x71;      // source and destination are the same file
constexpr int kDestSubtree = 0x76;   // a folder copied into itself

struct FileOp {
  HWND hwnd;
  FILEOP_FLAGS flags;
  bool aborted = false;
};

std::vector<WStr> path_list(LPCWSTR list) {
  std::vector<WStr> out;
  if (!list) return out;
  while (*list) {
    WStr p = list;
    list += p.size() + 1;
    out.push_back(std::move(p));
  }
  return out;
}

DWORD attributes(const WStr& path) { return GetFileAttributesW(path.c_str()); }
bool exists(const WStr& path) { return attributes(path) != INVALID_FILE_ATTRIBUTES; }
bool is_folder(const WStr& path) {
  DWORD a = attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}
bool has_wildcard(WStrView name) { return name.find_first_of(u"*?") != WStrView::npos; }

WStr error_text(DWORD code) {
  WCHAR buf[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf, 512, nullptr);
  WStr text(buf, n);
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.pop_back();
  return text;
}

// The entries of a folder (without "." and ".."), full paths.
std::vector<WStr> folder_entries(const WStr& folder) {
  std::vector<WStr> out;
  WIN32_FIND_DATAW fd{};
  HANDLE h = FindFirstFileW((folder + u"\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    WStrView n = fd.cFileName;
    if (n != u"." && n != u"..") out.push_back(folder + u"\\" + fd.cFileName);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return out;
}

// A source path as the items it names: the matches of a wildcard in its last part (a pattern that
// matches nothing names nothing), or the item itself. Folders among wildcard matches are left out
// with FOF_FILESONLY and FOF_NORECURSION.
std::vector<WStr> expand(const FileOp& op, const WStr& source, DWORD& error, bool& wildcard) {
  WStr full = full_path(source);
  size_t slash = full.find_last_of(u'\\');
  WStr folder = full.substr(0, slash), name = full.substr(slash + 1);
  wildcard = has_wildcard(name);
  if (!wildcard) {
    if (!exists(full)) error = ERROR_FILE_NOT_FOUND;
    return error ? std::vector<WStr>() : std::vector<WStr>{full};
  }
  std::vector<WStr> out;
  WIN32_FIND_DATAW fd{};
  HANDLE h = FindFirstFileW(full.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    WStrView n = fd.cFileName;
    if (n == u"." || n == u"..") continue;
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && (op.flags & (FOF_FILESONLY | FOF_NORECURSION))) continue;
    out.push_back(folder + u"\\" + fd.cFileName);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return out;
}

int report(FileOp& op, const WStr& verb, const WStr& path, DWORD code) {
  if (!(op.flags & FOF_NOERRORUI)) {
    WStr caption = verb == u"delete" ? u"Error Deleting File or Folder" : u"Error Copying File or Folder";
    WStr text = u"Cannot " + verb + u" " + file_of(path) + u": " + error_text(code);
    MessageBoxW(op.hwnd, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
  }
  return static_cast<int>(code);
}

DWORD delete_item(const WStr& path) {
  DWORD a = attributes(path);
  if (a == INVALID_FILE_ATTRIBUTES) return GetLastError();
  if (a & FILE_ATTRIBUTE_DIRECTORY) {
    for (const WStr& entry : folder_entries(path))
      if (DWORD e = delete_item(entry)) return e;
    return RemoveDirectoryW(path.c_str()) ? 0 : GetLastError();
  }
  if (a & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
  return DeleteFileW(path.c_str()) ? 0 : GetLastError();
}

int do_delete(FileOp& op, const std::vector<WStr>& sources) {
  std::vector<WStr> items;
  for (const WStr& s : sources) {
    DWORD e = 0;
    bool wildcard = false;
    auto found = expand(op, s, e, wildcard);
    if (e) return report(op, u"delete", s, e);
    items.insert(items.end(), found.begin(), found.end());
  }
  if (items.empty()) return 0;
  if (!(op.flags & FOF_NOCONFIRMATION)) {
    bool one = items.size() == 1;
    WStr what = one ? (is_folder(items[0]) ? u"this folder" : u"this file")
                    : u"these " + from_utf8(std::to_string(items.size())) + u" items";
    WStr text = (op.flags & FOF_ALLOWUNDO) ? u"Are you sure you want to move " + what + u" to the Recycle Bin?"
                                            : u"Are you sure you want to permanently delete " + what + u"?";
    WStr caption = one ? (is_folder(items[0]) ? u"Delete Folder" : u"Delete File") : u"Delete Multiple Items";
    if (MessageBoxW(op.hwnd, text.c_str(), caption.c_str(), MB_YESNO | MB_ICONWARNING) != IDYES) {
      op.aborted = true;
      return ERROR_CANCELLED;
    }
  }
  for (const WStr& item : items)
    if (DWORD e = delete_item(item)) return report(op, u"delete", item, e);
  return 0;
}

// "name - Copy.ext", then "name - Copy (2).ext", ...: the first that is free.
WStr free_copy_name(const WStr& target) {
  size_t slash = target.find_last_of(u'\\');
  size_t dot = target.find_last_of(u'.');
  if (dot == WStr::npos || dot < slash || is_folder(target)) dot = target.size();
  WStr stem = target.substr(0, dot), ext = target.substr(dot);
  for (int n = 1;; ++n) {
    WStr candidate = stem + u" - Copy" + (n == 1 ? WStr() : u" (" + from_utf8(std::to_string(n)) + u")") + ext;
    if (!exists(candidate)) return candidate;
  }
}

bool within(const WStr& path, const WStr& folder) {
  WStr f = folded(folder) + u"\\";
  WStr p = folded(path);
  return p == folded(folder) || p.compare(0, f.size(), f) == 0;
}

int copy_item(FileOp& op, const WStr& source, WStr target) {
  if (folded(full_path(source)) == folded(full_path(target))) {
    if (!(op.flags & FOF_RENAMEONCOLLISION)) return report(op, u"copy", source, kSameFile);
    target = free_copy_name(target);
  }
  if (is_folder(source)) {
    if (within(full_path(target), full_path(source))) return report(op, u"copy", source, kDestSubtree);
    if (!is_folder(target) && !CreateDirectoryW(target.c_str(), nullptr)) return report(op, u"copy", source, GetLastError());
    if (op.flags & FOF_NORECURSION) return 0;
    for (const WStr& entry : folder_entries(source))
      if (int e = copy_item(op, entry, target + u"\\" + file_of(entry))) return e;
    return 0;
  }
  if (exists(target)) {
    if (op.flags & FOF_RENAMEONCOLLISION) {
      target = free_copy_name(target);
    } else if (!(op.flags & FOF_NOCONFIRMATION)) {
      WStr text = u"This folder already contains a file named '" + file_of(target) +
                  u"'.\r\n\r\nWould you like to replace the existing file?";
      int answer = MessageBoxW(op.hwnd, text.c_str(), u"Confirm File Replace", MB_YESNOCANCEL | MB_ICONWARNING);
      if (answer == IDNO) return 0;
      if (answer != IDYES) {
        op.aborted = true;
        return ERROR_CANCELLED;
      }
    }
    DWORD a = attributes(target);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
      SetFileAttributesW(target.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) return report(op, u"copy", source, GetLastError());
  return 0;
}

int do_copy(FileOp& op, const std::vector<WStr>& sources, const std::vector<WStr>& dests) {
  if (dests.empty()) return ERROR_INVALID_PARAMETER;
  bool multi = (op.flags & FOF_MULTIDESTFILES) && dests.size() > 1;
  if (multi && dests.size() != sources.size()) return ERROR_INVALID_PARAMETER;
  for (size_t i = 0; i < sources.size(); ++i) {
    DWORD e = 0;
    bool wildcard = false;
    auto items = expand(op, sources[i], e, wildcard);
    if (e) return report(op, u"copy", sources[i], e);
    WStr dest = full_path(multi ? dests[i] : dests[0]);
    // Several items, or a pattern, go into the destination as a folder (made when missing); one
    // item goes into an existing folder, or becomes the destination's name.
    bool into = wildcard || (!multi && (sources.size() > 1 || is_folder(dest)));
    if (into && !is_folder(dest)) {
      if (!CreateDirectoryW(dest.c_str(), nullptr)) return report(op, u"copy", dest, GetLastError());
    }
    for (const WStr& item : items)
      if (int r = copy_item(op, item, into ? dest + u"\\" + file_of(item) : dest)) return r;
  }
  return 0;
}

// The folder a CSIDL names for this process; empty for one this machine does not know.
WStr known_folder(int csidl) {
  const Machine& m = machine();
  switch (csidl) {
    case CSIDL_WINDOWS:
      return m.windows_dir;
    case CSIDL_SYSTEM:
      return m.system_dir;
    case CSIDL_PROGRAM_FILES:
      // A 32-bit image on 64-bit Windows is given the folder of 32-bit programs.
      return is_wow64() && !m.program_files_x86.empty() ? m.program_files_x86 : m.program_files;
    case CSIDL_PROGRAM_FILESX86:
      return m.is64 && !m.program_files_x86.empty() ? m.program_files_x86 : m.program_files;
  }
  return {};
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API int WINAPI SHFileOperationW(LPSHFILEOPSTRUCTW lpFileOp) {
  if (DWORD e = fault("SHFileOperationW")) return static_cast<int>(e);
  if (!lpFileOp) return ERROR_INVALID_PARAMETER;
  lpFileOp->fAnyOperationsAborted = FALSE;
  std::vector<WStr> sources = path_list(lpFileOp->pFrom);
  if (sources.empty()) return ERROR_INVALID_PARAMETER;
  FileOp op{lpFileOp->hwnd, lpFileOp->fFlags};
  int result = 0;
  switch (lpFileOp->wFunc) {
    case FO_DELETE:
      result = do_delete(op, sources);
      break;
    case FO_COPY:
      result = do_copy(op, sources, path_list(lpFileOp->pTo));
      break;
    case FO_MOVE:
    case FO_RENAME:
      return ERROR_CALL_NOT_IMPLEMENTED;  // the product neither moves nor renames through the shell
    default:
      return ERROR_INVALID_PARAMETER;
  }
  lpFileOp->fAnyOperationsAborted = op.aborted ? TRUE : FALSE;
  return result;
}

WINSIM_API HRESULT WINAPI SHGetFolderPathW(HWND, int csidl, HANDLE, DWORD dwFlags, LPWSTR pszPath) {
  if (DWORD e = fault("SHGetFolderPathW")) return static_cast<HRESULT>(0x80070000u | (e & 0xFFFF));
  if (!pszPath || dwFlags > SHGFP_TYPE_DEFAULT) return E_INVALIDARG;
  pszPath[0] = 0;
  WStr folder = known_folder(csidl & ~CSIDL_FLAG_CREATE);
  if (folder.empty() || folder.size() >= MAX_PATH) return E_INVALIDARG;
  if (!is_folder(folder)) {
    if (!(csidl & CSIDL_FLAG_CREATE)) return S_FALSE;  // a known folder that does not exist
    if (!CreateDirectoryW(folder.c_str(), nullptr)) return static_cast<HRESULT>(0x80070000u | (GetLastError() & 0xFFFF));
  }
  std::copy(folder.begin(), folder.end(), pszPath);
  pszPath[folder.size()] = 0;
  return S_OK;
}

WINSIM_API BOOL WINAPI SHGetSpecialFolderPathW(HWND hwnd, LPWSTR pszPath, int csidl, BOOL fCreate) {
  if (!pszPath) return FALSE;
  return SHGetFolderPathW(hwnd, csidl | (fCreate ? CSIDL_FLAG_CREATE : 0), nullptr, SHGFP_TYPE_CURRENT, pszPath) == S_OK;
}

WINSIM_API HINSTANCE WINAPI ShellExecuteW(HWND, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                                         LPCWSTR lpDirectory, INT nShowCmd) {
  // The old contract: a value above 32 is success, 32 or less one of the SE_ERR_ codes.
  auto code = [](ULONG_PTR v) { return reinterpret_cast<HINSTANCE>(v); };
  if (DWORD e = fault("ShellExecuteW")) return code(e <= 32 ? e : SE_ERR_ACCESSDENIED);
  if (!lpFile || !*lpFile) return code(SE_ERR_FNF);
  WStr verb = lpOperation ? WStr(lpOperation) : WStr(u"open");
  WStr file = lpFile, params = wstr_or_empty(lpParameters);
  bool url = file.find(u"://") != WStr::npos;
  WStr full = file;
  if (!url) {
    WStr saved;
    if (lpDirectory && *lpDirectory) {  // a relative name is found in the given folder
      WCHAR cwd[MAX_PATH] = {};
      GetCurrentDirectoryW(MAX_PATH, cwd);
      saved = cwd;
      SetCurrentDirectoryW(lpDirectory);
    }
    full = full_path(file);
    if (!saved.empty()) SetCurrentDirectoryW(saved.c_str());
    if (!exists(full)) return code(SE_ERR_FNF);
  }
  WStr ext = full.size() >= 4 ? folded(WStrView(full).substr(full.size() - 4)) : WStr();
  if (!url && iequal(verb, u"open") && (ext == u".EXE" || ext == u".COM")) {
    WStr cmd = u"\"" + full + u"\"" + (params.empty() ? WStr() : u" " + params);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = static_cast<WORD>(nShowCmd);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, lpDirectory, &si, &pi))
      return code(GetLastError() == ERROR_FILE_NOT_FOUND ? SE_ERR_FNF : SE_ERR_ACCESSDENIED);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  } else {
    // Documents open in the program the user has for their kind, folders in the explorer,
    // addresses in the browser: the machine records what was opened, so a person (and a test)
    // sees it. A document of a kind no program takes is SE_ERR_NOASSOC.
    WStr program;
    if (url) {
      program = u"iexplore.exe";
    } else if (is_folder(full)) {
      program = u"explorer.exe";
    } else {
      size_t dot = full.find_last_of(u".\\");
      auto it = dot != WStr::npos && full[dot] == u'.' ? machine().associations.find(folded(WStrView(full).substr(dot)))
                                                      : machine().associations.end();
      if (it == machine().associations.end()) return code(SE_ERR_NOASSOC);
      program = it->second;
    }
    append_event({{"type", "shellexecute"}, {"verb", to_utf8(verb)}, {"file", to_utf8(full)},
                  {"parameters", to_utf8(params)}, {"show", nShowCmd}, {"program", to_utf8(program)}});
  }
  return code(42);
}

}  // extern "C"
