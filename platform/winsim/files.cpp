// Files and folders of the simulated machine.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include "internal.h"
#include "usb_file.h"

namespace winsim {

long long host_now_ns() {
  struct timespec t {};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return ns_of(t);
}

FdObject::~FdObject() {
  if (owns && fd >= 0) ::close(fd);
}

namespace {

// Attributes other than read-only and folder live in an extended attribute; read-only is the
// host's write permission, so that other host tools see it too.
constexpr const char* kAttrName = "user.winsim.attributes";
constexpr DWORD kStoredAttrs =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY;

struct FileObject : FdObject {
  std::string host;
  DWORD share = 0;
  dev_t dev = 0;
  ino_t ino = 0;
};

struct FindObject : Object {
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

// The stored attributes of files read lately, by identity. Setting an extended attribute moves
// the file's change time, so a copy holds while that time stands; a file changed within the last
// time step is read afresh, since a second change could leave the time where it was. Checking
// a configuration's folders and files for each of its many entries then costs no extra call.
struct StoredAttrs {
  dev_t dev = 0;
  struct timespec ctime {};
  DWORD attrs = 0;
  bool present = false;
};
constexpr size_t kStoredAttrsKept = 4096;
std::mutex g_stored_mu;
std::unordered_map<ino_t, StoredAttrs> g_stored;

std::optional<DWORD> stored_attributes(const std::string& host, const struct stat& st) {
  {
    std::lock_guard lock(g_stored_mu);
    auto it = g_stored.find(st.st_ino);
    if (it != g_stored.end() && it->second.dev == st.st_dev && it->second.ctime.tv_sec == st.st_ctim.tv_sec &&
        it->second.ctime.tv_nsec == st.st_ctim.tv_nsec)
      return it->second.present ? std::optional(it->second.attrs) : std::nullopt;
  }
  char buf[16] = {};
  ssize_t n = ::getxattr(host.c_str(), kAttrName, buf, sizeof buf - 1);
  std::optional<DWORD> attrs;
  if (n > 0) attrs = static_cast<DWORD>(std::strtoul(buf, nullptr, 10)) & kStoredAttrs;
  if (host_now_ns() - ns_of(st.st_ctim) > kFileTimeStepNs) {
    std::lock_guard lock(g_stored_mu);
    if (g_stored.size() >= kStoredAttrsKept) g_stored.clear();
    g_stored[st.st_ino] = {st.st_dev, st.st_ctim, attrs.value_or(0), attrs.has_value()};
  }
  return attrs;
}

DWORD host_attributes(const std::string& host, const struct stat& st) {
  DWORD a = 0;
  bool dir = S_ISDIR(st.st_mode);
  if (dir) a |= FILE_ATTRIBUTE_DIRECTORY;
  if (!(st.st_mode & S_IWUSR)) a |= FILE_ATTRIBUTE_READONLY;
  if (auto stored = stored_attributes(host, st)) {
    a |= *stored;
  } else if (!dir) {
    a |= FILE_ATTRIBUTE_ARCHIVE;  // a file written since the last backup, as every new file is
  }
  return a ? a : FILE_ATTRIBUTE_NORMAL;
}

bool read_only(const struct stat& st) { return !(st.st_mode & S_IWUSR); }

void set_host_attributes(const std::string& host, DWORD attrs) {
  struct stat st;
  if (::stat(host.c_str(), &st) != 0) return;
  mode_t mode = st.st_mode & 07777;
  mode = (attrs & FILE_ATTRIBUTE_READONLY) ? (mode & ~mode_t(0222)) : (mode | S_IWUSR);
  ::chmod(host.c_str(), mode);
  std::string v = std::to_string(attrs & kStoredAttrs);
  ::setxattr(host.c_str(), kAttrName, v.data(), v.size(), 0);  // best effort: not every host file system has them
}

FILETIME to_filetime(const timespec& ts) {
  // 100-ns intervals since 1601-01-01.
  unsigned long long t = (static_cast<unsigned long long>(ts.tv_sec) + 11644473600ull) * 10000000ull +
                         static_cast<unsigned long long>(ts.tv_nsec) / 100;
  return {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

// Resolves a path, setting the last error the way the file APIs report a missing file or folder.
std::optional<HostPath> lookup(LPCWSTR path) {
  if (!path) return fail(ERROR_INVALID_PARAMETER, std::optional<HostPath>());
  if (!*path) return fail(ERROR_PATH_NOT_FOUND, std::optional<HostPath>());
  DWORD err = 0;
  auto r = resolve(path, err);
  if (!r) SetLastError(err);
  return r;
}

DWORD missing_error(const HostPath& r) { return r.parent_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND; }

// Whether another open handle of this process forbids the access asked for.
bool sharing_conflict(dev_t dev, ino_t ino, DWORD access, DWORD share) {
  for (auto& f : process().all<FileObject>()) {
    if (f->dev != dev || f->ino != ino) continue;
    if ((access & GENERIC_READ) && !(f->share & FILE_SHARE_READ)) return true;
    if ((access & GENERIC_WRITE) && !(f->share & FILE_SHARE_WRITE)) return true;
    if ((f->access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
    if ((f->access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
  }
  return false;
}

bool open_without_delete_share(dev_t dev, ino_t ino) {
  for (auto& f : process().all<FileObject>())
    if (f->dev == dev && f->ino == ino && !(f->share & FILE_SHARE_DELETE)) return true;
  return false;
}

DWORD normalize_access(DWORD access) {
  if (access & GENERIC_ALL) access |= GENERIC_READ | GENERIC_WRITE;
  if (access & 0x0001) access |= GENERIC_READ;   // FILE_READ_DATA
  if (access & 0x0002) access |= GENERIC_WRITE;  // FILE_WRITE_DATA
  if (access & 0x0004) access |= GENERIC_WRITE;  // FILE_APPEND_DATA
  return access;
}

bool copy_file_contents(const std::string& from, const std::string& to, mode_t mode) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    ::close(in);
    return false;
  }
  char buf[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0 || ::write(out, buf, static_cast<size_t>(n)) != n) {
      ok = false;
      break;
    }
  }
  ::close(in);
  ::close(out);
  if (ok) ::chmod(to.c_str(), mode);
  return ok;
}

// ---- wildcard matching as FindFirstFile does it ------------------------------------------------

// Matches from the end backwards, one row of the table per pattern character, so that any
// pattern costs at most name length x pattern length steps (backtracking over stars does not).
// ok[j] says whether the rest of the pattern from the current character matches name[j..].
bool match_table(WStrView pat, WStrView name) {
  const size_t n = name.size();
  std::vector<char> next(n + 1, 0), cur(n + 1, 0);
  next[n] = 1;  // the empty pattern matches only the empty rest of the name
  for (size_t i = pat.size(); i-- > 0;) {
    WCHAR p = pat[i];
    for (size_t j = n + 1; j-- > 0;) {
      bool ok;
      if (p == u'*') {
        ok = next[j] || (j < n && cur[j + 1]);
      } else if (p == u'?') {
        // A question mark also matches nothing at the end of the name or before a dot.
        ok = (j < n && next[j + 1]) || ((j == n || name[j] == u'.') && next[j]);
      } else if (p == u'.' && j == n) {
        ok = next[j];  // "x." matches "x"
      } else {
        ok = j < n && fold_upper(p) == fold_upper(name[j]) && next[j + 1];
      }
      cur[j] = ok;
    }
    std::swap(cur, next);
  }
  return next[0];
}

bool wildcard_match(WStrView pat, WStrView name) {
  if (pat == u"*" || pat == u"*.*") return true;
  return match_table(pat, name);
}

void fill_find_data(WIN32_FIND_DATAW& fd, const std::string& dir, const WStr& name) {
  std::memset(&fd, 0, sizeof fd);
  std::string host = dir + "/" + to_utf8(name);
  struct stat st {};
  if (name == u"." || name == u"..") host = dir;
  ::stat(host.c_str(), &st);
  fd.dwFileAttributes = host_attributes(host, st);
  fd.ftCreationTime = to_filetime(st.st_ctim);
  fd.ftLastAccessTime = to_filetime(st.st_atim);
  fd.ftLastWriteTime = to_filetime(st.st_mtim);
  if (!S_ISDIR(st.st_mode)) {
    fd.nFileSizeHigh = static_cast<DWORD>(static_cast<unsigned long long>(st.st_size) >> 32);
    fd.nFileSizeLow = static_cast<DWORD>(st.st_size);
  }
  std::memcpy(fd.cFileName, name.data(), std::min<size_t>(name.size(), MAX_PATH - 1) * sizeof(WCHAR));
  if (name != u"." && name != u"..") {
    WStr s = short_name_in(dir, name);
    std::memcpy(fd.cAlternateFileName, s.data(), std::min<size_t>(s.size(), 13) * sizeof(WCHAR));
  }
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE) {
  if (DWORD e = fault("CreateFileW")) return fail(e, INVALID_HANDLE_VALUE);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (is_device_path(lpFileName)) return open_device(lpFileName, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
  DWORD access = normalize_access(dwDesiredAccess);
  if (dwCreationDisposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))
    return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  auto r = lookup(lpFileName);
  if (!r) return INVALID_HANDLE_VALUE;
  struct stat st {};
  bool exists = r->exists && ::stat(r->host.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  if (!exists && !r->parent_exists) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  if (!r->full.empty() && r->full.back() == u'\\') return fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
  DWORD disp = dwCreationDisposition;
  if (exists && disp == CREATE_NEW) return fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
  if (!exists && (disp == OPEN_EXISTING || disp == TRUNCATE_EXISTING))
    return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  bool truncate = exists && (disp == CREATE_ALWAYS || disp == TRUNCATE_EXISTING);
  if (exists && read_only(st) && ((access & GENERIC_WRITE) || truncate))
    return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  if (exists && sharing_conflict(st.st_dev, st.st_ino, access | (truncate ? GENERIC_WRITE : 0), dwShareMode))
    return fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);

  int flags = O_CLOEXEC;
  flags |= (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (!exists) flags |= O_CREAT | O_EXCL;  // O_EXCL keeps concurrent creators apart
  if (truncate) flags |= O_TRUNC;
  if (!exists && !(access & GENERIC_WRITE)) flags = (flags & ~O_ACCMODE) | O_RDWR;
  int fd = ::open(r->host.c_str(), flags, 0644);
  if (fd < 0) {
    if (errno == EEXIST)
      return fail(disp == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    return fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  }
  if (!exists || truncate) {
    DWORD attrs = dwFlagsAndAttributes & (kStoredAttrs | FILE_ATTRIBUTE_READONLY);
    if (attrs) set_host_attributes(r->host, attrs | FILE_ATTRIBUTE_ARCHIVE);
  }
  auto obj = std::make_shared<FileObject>();
  obj->fd = fd;
  obj->host = r->host;
  obj->access = access;
  obj->share = dwShareMode;
  ::fstat(fd, &st);
  obj->dev = st.st_dev;
  obj->ino = st.st_ino;
  HANDLE h = process().add(std::move(obj));
  SetLastError(exists && (disp == CREATE_ALWAYS || disp == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

WINSIM_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                                LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  if (DWORD e = fault("ReadFile")) return fail(e, FALSE);
  if (auto d = process().get<DeviceFile>(hFile)) {
    if (!lpNumberOfBytesRead && !lpOverlapped) return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (nNumberOfBytesToRead && !lpBuffer) return fail(ERROR_INVALID_PARAMETER, FALSE);
    return d->read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
  }
  auto f = process().get<FdObject>(hFile);
  if (!f) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpNumberOfBytesRead && !lpOverlapped) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!(f->access & GENERIC_READ)) return fail(ERROR_ACCESS_DENIED, FALSE);
  if (nNumberOfBytesToRead && !lpBuffer) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (f->pipe) {
    ssize_t n = ::read(f->fd, lpBuffer, nNumberOfBytesToRead);
    if (n < 0) return fail(ERROR_BROKEN_PIPE, FALSE);
    if (n == 0 && nNumberOfBytesToRead > 0) return fail(ERROR_BROKEN_PIPE, FALSE);  // every writer is gone
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = static_cast<DWORD>(n);
    return TRUE;
  }
  ssize_t n = lpOverlapped
                  ? ::pread(f->fd, lpBuffer, nNumberOfBytesToRead,
                            static_cast<off_t>((static_cast<unsigned long long>(lpOverlapped->OffsetHigh) << 32) |
                                               lpOverlapped->Offset))
                  : ::read(f->fd, lpBuffer, nNumberOfBytesToRead);
  if (n < 0) return fail(ERROR_ACCESS_DENIED, FALSE);
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = static_cast<DWORD>(n);
  if (lpOverlapped) lpOverlapped->InternalHigh = static_cast<ULONG_PTR>(n);
  return TRUE;
}

WINSIM_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  if (DWORD e = fault("WriteFile")) return fail(e, FALSE);
  if (auto d = process().get<DeviceFile>(hFile)) {
    if (!lpNumberOfBytesWritten && !lpOverlapped) return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (nNumberOfBytesToWrite && !lpBuffer) return fail(ERROR_INVALID_PARAMETER, FALSE);
    return d->write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
  }
  auto f = process().get<FdObject>(hFile);
  if (!f) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpNumberOfBytesWritten && !lpOverlapped) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!(f->access & GENERIC_WRITE)) return fail(ERROR_ACCESS_DENIED, FALSE);
  if (nNumberOfBytesToWrite && !lpBuffer) return fail(ERROR_INVALID_PARAMETER, FALSE);
  const char* p = static_cast<const char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToWrite) {
    ssize_t n = ::write(f->fd, p + done, nNumberOfBytesToWrite - done);
    if (n <= 0 && f->pipe) return fail(ERROR_NO_DATA /* the reading end is closed */, FALSE);
    if (n <= 0) return fail(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED, FALSE);
    done += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
  return TRUE;
}

WINSIM_API DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  if (DWORD e = fault("GetFileSize")) return fail(e, INVALID_FILE_SIZE);
  auto f = process().get<FileObject>(hFile);
  if (!f) return fail(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
  struct stat st {};
  ::fstat(f->fd, &st);
  auto size = static_cast<unsigned long long>(st.st_size);
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

// What a handle leads to: a file on a disk, a console or other character device, or a pipe.
WINSIM_API DWORD WINAPI GetFileType(HANDLE hFile) {
  auto f = process().get<FdObject>(hFile);
  if (!f) return fail(ERROR_INVALID_HANDLE, static_cast<DWORD>(FILE_TYPE_UNKNOWN));
  struct stat st {};
  if (::fstat(f->fd, &st) != 0) return fail(ERROR_INVALID_HANDLE, static_cast<DWORD>(FILE_TYPE_UNKNOWN));
  SetLastError(ERROR_SUCCESS);
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return FILE_TYPE_DISK;
  if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
  return FILE_TYPE_UNKNOWN;
}

WINSIM_API DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh,
                                       DWORD dwMoveMethod) {
  if (DWORD e = fault("SetFilePointer")) return fail(e, INVALID_SET_FILE_POINTER);
  auto f = process().get<FileObject>(hFile);
  if (!f) return fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  long long dist =
      lpDistanceToMoveHigh
          ? static_cast<long long>((static_cast<unsigned long long>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
                                   static_cast<DWORD>(lDistanceToMove))
          : lDistanceToMove;
  int whence = dwMoveMethod == FILE_BEGIN     ? SEEK_SET
               : dwMoveMethod == FILE_CURRENT ? SEEK_CUR
               : dwMoveMethod == FILE_END     ? SEEK_END
                                              : -1;
  if (whence < 0) return fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  off_t pos = ::lseek(f->fd, static_cast<off_t>(dist), whence);
  if (pos < 0) return fail(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<unsigned long long>(pos) >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(pos);
}

WINSIM_API BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  if (DWORD e = fault("DeleteFileW")) return fail(e, FALSE);
  auto r = lookup(lpFileName);
  if (!r) return FALSE;
  struct stat st {};
  if (!r->exists || ::stat(r->host.c_str(), &st) != 0) return fail(missing_error(*r), FALSE);
  if (S_ISDIR(st.st_mode) || read_only(st)) return fail(ERROR_ACCESS_DENIED, FALSE);
  if (is_loaded_image(r->host)) return fail(ERROR_ACCESS_DENIED, FALSE);  // mapped images stay
  if (open_without_delete_share(st.st_dev, st.st_ino)) return fail(ERROR_SHARING_VIOLATION, FALSE);
  if (::unlink(r->host.c_str()) != 0) return fail(ERROR_ACCESS_DENIED, FALSE);
  return TRUE;
}

WINSIM_API BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
  if (DWORD e = fault("CopyFileW")) return fail(e, FALSE);
  auto from = lookup(lpExistingFileName);
  if (!from) return FALSE;
  struct stat st {};
  if (!from->exists || ::stat(from->host.c_str(), &st) != 0) return fail(missing_error(*from), FALSE);
  if (S_ISDIR(st.st_mode)) return fail(ERROR_ACCESS_DENIED, FALSE);
  auto to = lookup(lpNewFileName);
  if (!to) return FALSE;
  struct stat dst {};
  bool dest_exists = to->exists && ::stat(to->host.c_str(), &dst) == 0;
  if (!dest_exists && !to->parent_exists) return fail(ERROR_PATH_NOT_FOUND, FALSE);
  if (dest_exists && bFailIfExists) return fail(ERROR_FILE_EXISTS, FALSE);
  if (dest_exists && (S_ISDIR(dst.st_mode) || read_only(dst))) return fail(ERROR_ACCESS_DENIED, FALSE);
  if (dest_exists && sharing_conflict(dst.st_dev, dst.st_ino, GENERIC_WRITE, 0))
    return fail(ERROR_SHARING_VIOLATION, FALSE);
  if (sharing_conflict(st.st_dev, st.st_ino, GENERIC_READ, FILE_SHARE_READ))
    return fail(ERROR_SHARING_VIOLATION, FALSE);
  if (!copy_file_contents(from->host, to->host, st.st_mode & 07777)) return fail(ERROR_ACCESS_DENIED, FALSE);
  char buf[16] = {};
  ssize_t n = ::getxattr(from->host.c_str(), kAttrName, buf, sizeof buf - 1);
  if (n > 0) ::setxattr(to->host.c_str(), kAttrName, buf, static_cast<size_t>(n), 0);
  return TRUE;
}

WINSIM_API BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  if (DWORD e = fault("MoveFileExW")) return fail(e, FALSE);
  auto from = lookup(lpExistingFileName);
  if (!from) return FALSE;
  struct stat st {};
  if (!from->exists || ::lstat(from->host.c_str(), &st) != 0) return fail(missing_error(*from), FALSE);
  if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    // Done when the machine next starts: kept where Windows keeps such operations.
    update_state("pending_file_operations", [&](json& doc) {
      if (!doc.is_object()) doc = json::object();
      doc["operations"].push_back({{"from", to_utf8(from->full)},
                                   {"to", lpNewFileName ? json(to_utf8(full_path(lpNewFileName))) : json(nullptr)}});
    });
    return TRUE;
  }
  if (!lpNewFileName) return fail(ERROR_INVALID_PARAMETER, FALSE);
  auto to = lookup(lpNewFileName);
  if (!to) return FALSE;
  struct stat dst {};
  bool dest_exists = to->exists && ::lstat(to->host.c_str(), &dst) == 0;
  bool same = dest_exists && dst.st_dev == st.st_dev && dst.st_ino == st.st_ino;  // a change of case only
  if (!dest_exists && !to->parent_exists) return fail(ERROR_PATH_NOT_FOUND, FALSE);
  if (dest_exists && !same) {
    if (!(dwFlags & MOVEFILE_REPLACE_EXISTING)) return fail(ERROR_ALREADY_EXISTS, FALSE);
    if (S_ISDIR(dst.st_mode) || S_ISDIR(st.st_mode) || read_only(dst)) return fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (open_without_delete_share(st.st_dev, st.st_ino)) return fail(ERROR_SHARING_VIOLATION, FALSE);
  std::string target = to->host;
  if (same) {  // keep the spelling the caller gave for the last name
    auto slash = target.find_last_of('/');
    WStr full = to->full;
    target = target.substr(0, slash + 1) + to_utf8(full.substr(full.find_last_of(u'\\') + 1));
  }
  if (::rename(from->host.c_str(), target.c_str()) == 0) return TRUE;
  if (errno == EXDEV && !S_ISDIR(st.st_mode) && (dwFlags & MOVEFILE_COPY_ALLOWED)) {
    if (copy_file_contents(from->host, target, st.st_mode & 07777) && ::unlink(from->host.c_str()) == 0) return TRUE;
  }
  return fail(errno == EXDEV ? ERROR_NOT_SAME_DEVICE : ERROR_ACCESS_DENIED, FALSE);
}

WINSIM_API BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
  if (DWORD e = fault("MoveFileW")) return fail(e, FALSE);
  return MoveFileExW(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
}

WINSIM_API BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  if (DWORD e = fault("CreateDirectoryW")) return fail(e, FALSE);
  auto r = lookup(lpPathName);
  if (!r) return FALSE;
  if (r->exists) return fail(ERROR_ALREADY_EXISTS, FALSE);
  if (!r->parent_exists) return fail(ERROR_PATH_NOT_FOUND, FALSE);
  if (::mkdir(r->host.c_str(), 0755) != 0)
    return fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED, FALSE);
  return TRUE;
}

WINSIM_API BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  if (DWORD e = fault("RemoveDirectoryW")) return fail(e, FALSE);
  auto r = lookup(lpPathName);
  if (!r) return FALSE;
  struct stat st {};
  if (!r->exists || ::stat(r->host.c_str(), &st) != 0) return fail(missing_error(*r), FALSE);
  if (!S_ISDIR(st.st_mode)) return fail(ERROR_DIRECTORY, FALSE);
  if (read_only(st)) return fail(ERROR_ACCESS_DENIED, FALSE);
  if (r->full.size() <= 3) return fail(ERROR_ACCESS_DENIED, FALSE);  // a drive's root
  if (::rmdir(r->host.c_str()) != 0)
    return fail(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY : ERROR_ACCESS_DENIED, FALSE);
  return TRUE;
}

WINSIM_API DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  if (DWORD e = fault("GetFileAttributesW")) return fail(e, INVALID_FILE_ATTRIBUTES);
  auto r = lookup(lpFileName);
  if (!r) return INVALID_FILE_ATTRIBUTES;
  struct stat st = r->st;
  if (!r->exists || (!r->have_stat && ::stat(r->host.c_str(), &st) != 0))
    return fail(missing_error(*r), INVALID_FILE_ATTRIBUTES);
  if (!r->full.empty() && r->full.back() == u'\\' && !S_ISDIR(st.st_mode) && r->full.size() > 3)
    return fail(ERROR_INVALID_NAME, INVALID_FILE_ATTRIBUTES);  // "file.txt\" names no file
  return host_attributes(r->host, st);
}

WINSIM_API DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  if (!lpFileName) return GetFileAttributesW(nullptr);
  return GetFileAttributesW(from_acp(lpFileName).c_str());
}

WINSIM_API BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
  if (DWORD e = fault("SetFileAttributesW")) return fail(e, FALSE);
  auto r = lookup(lpFileName);
  if (!r) return FALSE;
  if (!r->exists) return fail(missing_error(*r), FALSE);
  set_host_attributes(r->host, dwFileAttributes);
  return TRUE;
}

WINSIM_API HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  if (DWORD e = fault("FindFirstFileW")) return fail(e, INVALID_HANDLE_VALUE);
  if (!lpFileName || !lpFindFileData) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  WStr spec = lpFileName;
  if (spec.empty()) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  if (spec.back() == u'\\' || spec.back() == u'/') return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  WStr full = full_path(spec);
  auto slash = full.find_last_of(u'\\');
  WStr dir = full.substr(0, slash == 2 ? 3 : slash);
  WStr pattern = full.substr(slash + 1);
  // full_path dropped a trailing dot of the pattern; "*." must still mean "no extension".
  if (spec.back() == u'.' && (pattern.empty() || pattern.back() != u'.')) pattern += u'.';
  DWORD err = 0;
  auto r = resolve(dir, err);
  if (!r) return fail(err, INVALID_HANDLE_VALUE);
  struct stat st {};
  if (!r->exists || ::stat(r->host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  std::vector<WStr> names;
  if (DIR* d = ::opendir(r->host.c_str())) {
    while (dirent* e = ::readdir(d)) {
      WStr n = from_utf8(e->d_name);
      if ((n == u"." || n == u"..") && dir.size() <= 3) continue;  // a drive's root has neither
      if (wildcard_match(pattern, n))
        names.push_back(n);
      else if (WStr s = (n == u"." || n == u"..") ? WStr() : short_name_in(r->host, n);
               !s.empty() && wildcard_match(pattern, s))
        names.push_back(n);
    }
    ::closedir(d);
  }
  if (names.empty()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  // NTFS hands out names in its upcase collation order.
  std::sort(names.begin(), names.end(), [](const WStr& a, const WStr& b) { return icompare(a, b) < 0; });
  auto obj = std::make_shared<FindObject>();
  for (auto& n : names) {
    obj->entries.emplace_back();
    fill_find_data(obj->entries.back(), r->host, n);
  }
  *lpFindFileData = obj->entries[0];
  obj->next = 1;
  return process().add(std::move(obj));
}

WINSIM_API BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  if (DWORD e = fault("FindNextFileW")) return fail(e, FALSE);
  auto f = process().get<FindObject>(hFindFile);
  if (!f) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpFindFileData) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (f->next >= f->entries.size()) return fail(ERROR_NO_MORE_FILES, FALSE);
  *lpFindFileData = f->entries[f->next++];
  return TRUE;
}

WINSIM_API BOOL WINAPI FindClose(HANDLE hFindFile) {
  if (DWORD e = fault("FindClose")) return fail(e, FALSE);
  if (!process().get<FindObject>(hFindFile)) return fail(ERROR_INVALID_HANDLE, FALSE);
  process().close(hFindFile);
  return TRUE;
}

// ---- names and folders ------------------------------------------------------------------------

}  // extern "C"

namespace {

// A "\\?\" name keeps its prefix as its root; "." and ".." below it are still resolved and
// forward slashes become backslashes, as Windows's full-path function does. Only opening such a
// name takes it as it is.
WStr full_long_form(WStrView in) {
  std::vector<WStr> parts;
  size_t i = 4;
  while (i <= in.size()) {
    size_t j = std::min(in.find_first_of(u"\\/", i), in.size());
    WStr comp(in.substr(i, j - i));
    if (comp == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!comp.empty() && comp != u".") {
      parts.push_back(comp);
    }
    i = j + 1;
  }
  WStr out = u"\\\\?\\";
  for (size_t k = 0; k < parts.size(); ++k) out += (k ? u"\\" : u"") + parts[k];
  bool trailing = !parts.empty() && (in.back() == u'\\' || in.back() == u'/');
  if (trailing) out += u'\\';
  return out;
}

}  // namespace

extern "C" {

WINSIM_API DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR* lpFilePart) {
  if (DWORD e = fault("GetFullPathNameW")) return fail(e, 0u);
  if (!lpFileName || !*lpFileName) return fail(ERROR_INVALID_NAME, 0u);
  WStrView in = lpFileName;
  auto slash = [](char16_t ch) { return ch == u'\\' || ch == u'/'; };
  bool long_form = in.size() >= 4 && slash(in[0]) && slash(in[1]) && in[2] == u'?' && slash(in[3]);
  WStr full = long_form ? full_long_form(in) : full_path(in);
  DWORD n = copy_out(full, lpBuffer, nBufferLength);
  if (lpFilePart) {
    *lpFilePart = nullptr;
    if (n == full.size() && !full.empty() && full.back() != u'\\')
      *lpFilePart = lpBuffer + full.find_last_of(u'\\') + 1;
  }
  return n;
}

WINSIM_API DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
  if (DWORD e = fault("GetFullPathNameA")) return fail(e, 0u);
  if (!lpFileName || !*lpFileName) return fail(ERROR_INVALID_NAME, 0u);
  std::string full = to_acp(full_path(from_acp(lpFileName)));
  if (!lpBuffer || nBufferLength <= full.size()) return static_cast<DWORD>(full.size() + 1);
  std::memcpy(lpBuffer, full.c_str(), full.size() + 1);
  if (lpFilePart) {
    auto slash = full.find_last_of('\\');
    *lpFilePart = full.back() == '\\' ? nullptr : lpBuffer + slash + 1;
  }
  return static_cast<DWORD>(full.size());
}

WINSIM_API DWORD WINAPI GetLongPathNameW(LPCWSTR lpszShortPath, LPWSTR lpszLongPath, DWORD cchBuffer) {
  if (DWORD e = fault("GetLongPathNameW")) return fail(e, 0u);
  if (!lpszShortPath) return fail(ERROR_INVALID_PARAMETER, 0u);
  auto r = lookup(lpszShortPath);
  if (!r) return 0;
  if (!r->exists) return fail(missing_error(*r), 0u);
  // Each component given by its 8.3 name becomes its name on disk; the others keep the caller's
  // spelling. (A relative path comes back in its full form.)
  const WStr& in = r->full;
  std::string host = machine().drives.at(fold_upper(in[0]));
  WStr out = in.substr(0, 3);
  for (size_t i = 3; i < in.size();) {
    size_t j = std::min(in.find(u'\\', i), in.size());
    WStr comp = in.substr(i, j - i);
    if (auto found = find_entry(host, comp)) {
      WStr disk = from_utf8(*found);
      if (!iequal(disk, comp)) comp = disk;
      if (host.back() != '/') host += '/';
      host += *found;
    }
    out += comp;
    if (j < in.size()) out += u'\\';
    i = j + 1;
  }
  return copy_out(out, lpszLongPath, cchBuffer);
}

WINSIM_API DWORD WINAPI GetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath, DWORD cchBuffer) {
  if (DWORD e = fault("GetShortPathNameW")) return fail(e, 0u);
  auto r = lookup(lpszLongPath);
  if (!r) return 0;
  if (!r->exists) return fail(missing_error(*r), 0u);
  return copy_out(short_path(r->full), lpszShortPath, cchBuffer);
}

WINSIM_API DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
  if (DWORD e = fault("GetCurrentDirectoryW")) return fail(e, 0u);
  Process& p = process();
  std::lock_guard lock(p.mu);
  return copy_out(p.cwd, lpBuffer, nBufferLength);
}

WINSIM_API BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName) {
  if (DWORD e = fault("SetCurrentDirectoryW")) return fail(e, FALSE);
  auto r = lookup(lpPathName);
  if (!r) return FALSE;
  struct stat st {};
  if (!r->exists || ::stat(r->host.c_str(), &st) != 0) return fail(missing_error(*r), FALSE);
  if (!S_ISDIR(st.st_mode)) return fail(ERROR_DIRECTORY, FALSE);
  WStr full = r->full;
  while (full.size() > 3 && full.back() == u'\\') full.pop_back();
  Process& p = process();
  std::lock_guard lock(p.mu);
  p.cwd = full;
  return TRUE;
}

WINSIM_API DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  if (DWORD e = fault("GetTempPathW")) return fail(e, 0u);
  std::optional<WStr> v = get_env(u"TMP");
  if (!v || v->empty()) v = get_env(u"TEMP");
  if (!v || v->empty()) v = get_env(u"USERPROFILE");
  WStr path = full_path(v && !v->empty() ? *v : machine().windows_dir);
  if (path.back() != u'\\') path += u'\\';
  return copy_out(path, lpBuffer, nBufferLength);
}

WINSIM_API UINT WINAPI GetTempFileNameW(LPCWSTR lpPathName, LPCWSTR lpPrefixString, UINT uUnique,
                                        LPWSTR lpTempFileName) {
  if (DWORD e = fault("GetTempFileNameW")) return fail(e, 0u);
  if (!lpPathName || !lpTempFileName) return fail(ERROR_INVALID_PARAMETER, 0u);
  WStr dir = lpPathName;
  if (dir.empty() || (dir.back() != u'\\' && dir.back() != u'/')) dir += u'\\';
  WStr prefix = WStr(lpPrefixString ? lpPrefixString : u"").substr(0, 3);
  auto name_for = [&](UINT n) {
    static const char16_t hex[] = u"0123456789ABCDEF";
    WStr num;
    do {
      num.insert(num.begin(), hex[n & 15]);
      n >>= 4;
    } while (n);
    return dir + prefix + num + u".tmp";
  };
  auto check_len = [&](const WStr& name) { return name.size() < MAX_PATH; };
  if (uUnique) {
    WStr name = name_for(uUnique & 0xFFFF);
    if (!check_len(name)) return fail(ERROR_BUFFER_OVERFLOW, 0u);
    std::memcpy(lpTempFileName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    return uUnique & 0xFFFF;
  }
  DWORD attrs = GetFileAttributesW(dir.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) return fail(ERROR_DIRECTORY, 0u);
  UINT start = (GetTickCount() ^ static_cast<UINT>(::getpid() * 2654435761u)) & 0xFFFF;
  for (UINT k = 0; k < 0x10000; ++k) {
    UINT n = (start + k) & 0xFFFF;
    if (n == 0) continue;
    WStr name = name_for(n);
    if (!check_len(name)) return fail(ERROR_BUFFER_OVERFLOW, 0u);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      std::memcpy(lpTempFileName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
      SetLastError(ERROR_SUCCESS);
      return n;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_SHARING_VIOLATION) return 0;
  }
  return fail(ERROR_FILE_EXISTS, 0u);
}

WINSIM_API UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  if (DWORD e = fault("GetSystemDirectoryW")) return fail(e, 0u);
  return copy_out(machine().system_dir, lpBuffer, uSize);
}

WINSIM_API UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  if (DWORD e = fault("GetWindowsDirectoryW")) return fail(e, 0u);
  return copy_out(machine().windows_dir, lpBuffer, uSize);
}

}  // extern "C"
