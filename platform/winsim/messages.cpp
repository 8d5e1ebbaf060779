// The system message table (FormatMessage FROM_SYSTEM) for the codes this product reports, in
// English and Simplified Chinese.
#include <cstring>

#include "internal.h"

namespace winsim {

namespace {

struct Message {
  DWORD id;
  const char16_t* en;
  const char16_t* zh;
};

constexpr Message kMessages[] = {
    {0, u"The operation completed successfully.", u"操作成功完成。"},
    {1, u"Incorrect function.", u"函数不正确。"},
    {2, u"The system cannot find the file specified.", u"系统找不到指定的文件。"},
    {3, u"The system cannot find the path specified.", u"系统找不到指定的路径。"},
    {5, u"Access is denied.", u"拒绝访问。"},
    {6, u"The handle is invalid.", u"句柄无效。"},
    {8, u"Not enough storage is available to process this command.", u"存储空间不足，无法处理此命令。"},
    {13, u"The data is invalid.", u"数据无效。"},
    {14, u"Not enough storage is available to complete this operation.", u"存储空间不足，无法完成此操作。"},
    {17, u"The system cannot move the file to a different disk drive.", u"系统无法将文件移到不同的驱动器。"},
    {18, u"There are no more files.", u"没有更多文件。"},
    {23, u"Data error (cyclic redundancy check).", u"数据错误(循环冗余检查)。"},
    {31, u"A device attached to the system is not functioning.", u"连到系统上的设备没有发挥作用。"},
    {32, u"The process cannot access the file because it is being used by another process.",
     u"另一个程序正在使用此文件，进程无法访问。"},
    {38, u"Reached the end of the file.", u"已到文件结尾。"},
    {50, u"The request is not supported.", u"不支持该请求。"},
    {53, u"The network path was not found.", u"找不到网络路径。"},
    {80, u"The file exists.", u"文件存在。"},
    {87, u"The parameter is incorrect.", u"参数错误。"},
    {109, u"The pipe has been ended.", u"管道已结束。"},
    {111, u"The file name is too long.", u"文件名太长。"},
    {112, u"There is not enough space on the disk.", u"磁盘空间不足。"},
    {120, u"This function is not supported on this system.", u"这个系统不支持该功能。"},
    {122, u"The data area passed to a system call is too small.", u"传递给系统调用的数据区域太小。"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.", u"文件名、目录名或卷标语法不正确。"},
    {126, u"The specified module could not be found.", u"找不到指定的模块。"},
    {127, u"The specified procedure could not be found.", u"找不到指定的程序。"},
    {131, u"An attempt was made to move the file pointer before the beginning of the file.",
     u"尝试将文件指针移至文件开头之前。"},
    {145, u"The directory is not empty.", u"目录不是空的。"},
    {183, u"Cannot create a file when that file already exists.", u"当文件已存在时，无法创建该文件。"},
    {193, u"%1 is not a valid Win32 application.", u"%1 不是有效的 Win32 应用程序。"},
    {203, u"The system could not find the environment option that was entered.", u"系统找不到输入的环境选项。"},
    {232, u"The pipe is being closed.", u"管道正在被关闭。"},
    {234, u"More data is available.", u"更多数据可用。"},
    {259, u"No more data is available.", u"没有可用的数据了。"},
    {267, u"The directory name is invalid.", u"目录名称无效。"},
    {997, u"Overlapped I/O operation is in progress.", u"重叠 I/O 操作在进行中。"},
    {1067, u"The process terminated unexpectedly.", u"进程意外终止。"},
    {1113, u"No mapping for the Unicode character exists in the target multi-byte code page.",
     u"在多字节的目标代码页中，没有此 Unicode 字符可以映射到的字符。"},
    {1223, u"The operation was canceled by the user.", u"操作已被用户取消。"},
    {1300, u"Not all privileges or groups referenced are assigned to the caller.",
     u"并非所有被引用的特权或组都分配给呼叫方。"},
    {1313, u"A specified privilege does not exist.", u"指定的特权不存在。"},
    {1314, u"A required privilege is not held by the client.", u"客户端没有所需的特权。"},
    {1400, u"Invalid window handle.", u"无效的窗口句柄。"},
    {1401, u"Invalid menu handle.", u"无效的菜单句柄。"},
    {1407, u"Cannot find window class.", u"找不到窗口类。"},
    {1410, u"Class already exists.", u"类已存在。"},
    {1456, u"Menu item was not found.", u"找不到菜单项。"},
    {1460, u"This operation returned because the timeout period expired.", u"这个操作返回因为超时期限已过。"},
    {1796, u"The specified port is unknown.", u"指定的端口未知。"},
    {1797, u"The printer driver is unknown.", u"打印机驱动程序未知。"},
    {1801, u"The printer name is invalid.", u"打印机名无效。"},
    {1802, u"The printer already exists.", u"打印机已经存在。"},
    {1812, u"The specified image file did not contain a resource section.", u"指定的映像文件不包含资源区域。"},
    {1813, u"The specified resource type cannot be found in the image file.", u"找不到映像文件中指定的资源类型。"},
    {1814, u"The specified resource name cannot be found in the image file.", u"找不到映像文件中指定的资源名。"},
    {3001, u"The specified printer driver is currently in use.", u"指定的打印机驱动程序当前正在使用。"},
    {3010, u"The requested operation is successful. Changes will not be effective until the system is rebooted.",
     u"请求的操作成功。直到重新启动系统前更改将不会生效。"},
    {0xE0000203, u"There is no driver selected for the device information set or element.",
     u"没有为设备信息集或元素选择驱动程序。"},
    {0xE000020B, u"The device instance does not exist in the hardware tree.", u"硬件树中不存在此设备实例。"},
    {0xE000020D,
     u"The class installer has indicated that the default action should be performed for this installation request.",
     u"类安装程序已指示应对此安装请求执行默认操作。"},
    {0xE0000219, u"The installation failed because a function driver was not specified for this device instance.",
     u"安装失败，因为没有为此设备实例指定功能驱动程序。"},
    {0xE000022F, u"The third-party INF does not contain digital signature information.",
     u"第三方 INF 不包含数字签名信息。"},
    {0xE0000235, u"The operation cannot be performed in a 32-bit process on 64-bit Windows.",
     u"无法在 64 位 Windows 上的 32 位进程中执行此操作。"},
};

const Message* find_message(DWORD id) {
  for (auto& m : kMessages)
    if (m.id == id) return &m;
  return nullptr;
}

bool chinese(LANGID lang) { return lang == 2052 || lang == 4100; }

// Expands %1..%99 (with an optional !printf-type! that only "s" is honoured for), %0, %n, %%
// and the escapes of the message syntax.
WStr expand_inserts(WStrView text, DWORD flags, va_list* args) {
  WStr out;
  std::vector<const WCHAR*> seen;
  const DWORD_PTR* array = (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) ? reinterpret_cast<const DWORD_PTR*>(args) : nullptr;
  for (size_t i = 0; i < text.size(); ++i) {
    WCHAR c = text[i];
    if (c != u'%' || i + 1 >= text.size()) {
      out += c;
      continue;
    }
    WCHAR d = text[++i];
    if (d >= u'1' && d <= u'9') {
      unsigned n = d - u'0';
      if (i + 1 < text.size() && text[i + 1] >= u'0' && text[i + 1] <= u'9') n = n * 10 + (text[++i] - u'0');
      if (i + 1 < text.size() && text[i + 1] == u'!') {
        auto end = text.find(u'!', i + 2);
        if (end != WStrView::npos) i = end;
      }
      if (flags & FORMAT_MESSAGE_IGNORE_INSERTS) {
        out += u'%';
        out += from_utf8(std::to_string(n));
        continue;
      }
      const WCHAR* s = nullptr;
      if (array) {
        s = reinterpret_cast<const WCHAR*>(array[n - 1]);
      } else if (args) {
        while (seen.size() < n) seen.push_back(va_arg(*args, const WCHAR*));
        s = seen[n - 1];
      }
      if (s) out += s;
    } else if (d == u'0') {
      break;
    } else if (d == u'n') {
      out += u"\r\n";
    } else {
      out += d;  // %% %. %! and the like stand for the character itself
    }
  }
  return out;
}

// Produces the text of a message, or sets the last error and returns nothing.
std::optional<WStr> message_text(DWORD flags, LPCVOID source, DWORD id, DWORD lang, va_list* args) {
  WStr text;
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    if (!source) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return std::nullopt;
    }
    text = static_cast<const WCHAR*>(source);
  } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    const Message* m = find_message(id);
    if (!m) {
      SetLastError(ERROR_MR_MID_NOT_FOUND);
      return std::nullopt;
    }
    LANGID want = static_cast<LANGID>(lang);
    // 0 and the user/system default ids mean "the machine's language, else English".
    bool neutral = PRIMARYLANGID(want) == LANG_NEUTRAL;
    if (!neutral && want != 1033 && !chinese(want)) {
      SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
      return std::nullopt;
    }
    bool zh = neutral ? chinese(machine().language) : chinese(want);
    text = WStr(zh ? m->zh : m->en) + u"\r\n";
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  return expand_inserts(text, flags, args);
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPWSTR lpBuffer, DWORD nSize, va_list* Arguments) {
  if (DWORD e = fault("FormatMessageW")) {
    SetLastError(e);
    return 0;
  }
  if (!lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto text = message_text(dwFlags, lpSource, dwMessageId, dwLanguageId, Arguments);
  if (!text) return 0;
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    size_t n = std::max<size_t>(text->size() + 1, nSize);
    auto* p = static_cast<WCHAR*>(LocalAlloc(LPTR, n * sizeof(WCHAR)));
    if (!p) return 0;
    std::memcpy(p, text->data(), text->size() * sizeof(WCHAR));
    *reinterpret_cast<LPWSTR*>(lpBuffer) = p;
    return static_cast<DWORD>(text->size());
  }
  if (text->size() + 1 > nSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, text->data(), text->size() * sizeof(WCHAR));
  lpBuffer[text->size()] = 0;
  return static_cast<DWORD>(text->size());
}

WINSIM_API DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPSTR lpBuffer, DWORD nSize, va_list*) {
  if (DWORD e = fault("FormatMessageA")) {
    SetLastError(e);
    return 0;
  }
  if (!lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WStr source_w;
  if ((dwFlags & FORMAT_MESSAGE_FROM_STRING) && lpSource) {
    source_w = from_acp(static_cast<const char*>(lpSource));
    lpSource = source_w.c_str();
  }
  // ANSI inserts are not converted here: the product formats system messages without inserts.
  DWORD flags = (dwFlags & ~FORMAT_MESSAGE_ALLOCATE_BUFFER) | FORMAT_MESSAGE_IGNORE_INSERTS;
  auto text = message_text(flags, lpSource, dwMessageId, dwLanguageId, nullptr);
  if (!text) return 0;
  std::string a = to_acp(*text);
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    auto* p = static_cast<char*>(LocalAlloc(LPTR, std::max<size_t>(a.size() + 1, nSize)));
    if (!p) return 0;
    std::memcpy(p, a.data(), a.size());
    *reinterpret_cast<LPSTR*>(lpBuffer) = p;
    return static_cast<DWORD>(a.size());
  }
  if (a.size() + 1 > nSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, a.data(), a.size() + 1);
  return static_cast<DWORD>(a.size());
}

}  // extern "C"
