// The log channel against the viewer's map on a simulated machine: connecting late, records with
// their indents, the filter set in the viewer, Chinese text on a code-page-936 machine, broken
// maps, two threads at once and a viewer that dies holding the queue's mutex.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "debuglog/MapFileChannel.h"
#include "support/machine_fixture.h"
#include "win32/registry.h"
#include "viewer/LogViewer.h"

using namespace testutil;
using namespace logq;

namespace {

std::uint32_t le32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::vector<Record> drain(viewer::Map& map) {
  std::vector<Record> all, some;
  bool corrupt = false;
  while (map.Drain(some, corrupt)) all.insert(all.end(), some.begin(), some.end());
  EXPECT_FALSE(corrupt);
  return all;
}

std::vector<std::string> texts(const std::vector<Record>& rs) {
  std::vector<std::string> out;
  for (auto& r : rs) out.push_back(r.Text);
  return out;
}

class ChannelTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    TheDebugger().Reset();  // the viewer channel of a new log
  }
  void TearDown() override {
    TheDebugger().Reset();
    MachineTest::TearDown();
  }
  viewer::Map map;
  void create_viewer(std::uint32_t queue = 64 * 1024) {
    DWORD error = 0;
    ASSERT_TRUE(map.Create(queue, error)) << error;
  }
};

TEST_F(ChannelTest, AViewerThatStartsLateGetsTheLinesFromThenOn) {
  TDebugLogger& d = TheDebugger();
  d.LogMsg(W_("nobody listens"));
  create_viewer();
  d.LogEnter(W_("_ResLoad()"));
  d.LogMsgWarning(W_("careful"));
  d.LogLeave(W_("_ResLoad()"));
  d.LogSeparator();
  auto got = drain(map);
  ASSERT_EQ(texts(got), (std::vector<std::string>{"Enter: _ResLoad()", "careful", "Leave: _ResLoad()", "-"}));
  std::vector<int> indents, types;
  for (auto& r : got) {
    indents.push_back(r.Indent);
    types.push_back(static_cast<int>(r.MsgType));
    EXPECT_EQ(r.ProcessId, GetCurrentProcessId());
    EXPECT_EQ(r.ThreadId, GetCurrentThreadId());
    EXPECT_EQ(r.Level, 3);
    EXPECT_EQ(r.TimeStampType, 1u);
    EXPECT_EQ(r.Length, 48 + r.Text.size());
  }
  EXPECT_EQ(indents, (std::vector<int>{0, 1, 0, 0}));
  EXPECT_EQ(types, (std::vector<int>{dmtEnterProc, dmtWarning, dmtLeaveProc, dmtSeparator}));
  // The time stamp is the local time of the sending.
  SYSTEMTIME now{};
  GetLocalTime(&now);
  EXPECT_NEAR(got[0].TimeStamp, OleDate(now), 5.0 / 86400);
}

TEST_F(ChannelTest, AFilterSetInTheViewerIsObeyedFromTheNextRecord) {
  create_viewer();
  TDebugLogger& d = TheDebugger();
  d.LogMsg(W_("before"));
  map.SetFilter({true, 3, "", 1u << dmtError});
  d.LogMsg(W_("info"));
  d.LogMsgError(W_("error"));
  EXPECT_FALSE(FilterChanged(map.View()));  // taken over by the installer
  EXPECT_EQ(d.Filter().FMsgTypes, 1u << dmtError);
  map.SetFilter({true, 2, "", 0});
  d.LogMsgError(W_("level 3"));
  map.SetFilter({false, 3, "", 0});
  d.LogMsg(W_("after"));
  EXPECT_EQ(texts(drain(map)), (std::vector<std::string>{"before", "error", "after"}));
}

TEST_F(ChannelTest, ASplitLengthFieldIsWrittenWholeIntoTheViewersSlack) {
  create_viewer();
  TDebugLogger& d = TheDebugger();
  d.LogMsg(W_("connect"));
  drain(map);
  std::uint8_t* view = map.View();
  std::uint32_t q = map.QueueSize();
  std::uint8_t* queue = view + le32(view + kOffQueueOffset);
  Store32(view + kOffFront, q - 2);
  Store32(view + kOffTail, q - 2);
  d.LogMsg(W_("split two bytes before the end"));
  EXPECT_EQ(le32(queue + q - 2), 48u + 30u);
  EXPECT_EQ(le32(view + kOffTail), 48u + 30u - 2u);
  EXPECT_EQ(texts(drain(map)), std::vector<std::string>{"split two bytes before the end"});
}

TEST_F(ChannelTest, TwoThreadsLoggingAtOnceLoseNothing) {
  create_viewer(1u << 20);  // room for all: what is tested is the writers' turns, not a slow reader
  constexpr int kEach = 1500;
  std::atomic<bool> done{false};
  std::vector<Record> got;
  std::thread reader([&] {
    std::vector<Record> some;
    bool corrupt = false;
    for (;;) {
      bool last = done;
      WaitForSingleObject(map.QueueEvent(), 20);
      while (map.Drain(some, corrupt)) got.insert(got.end(), some.begin(), some.end());
      EXPECT_FALSE(corrupt);
      if (last) break;
    }
  });
  auto writer = [](const char* name) {
    for (int i = 0; i < kEach; ++i)
      TheDebugger().LogFmt(W_("%s %d"), {WStr(name, name + std::strlen(name)), i});
  };
  std::thread a(writer, "A"), b(writer, "B");
  a.join();
  b.join();
  done = true;
  reader.join();
  ASSERT_EQ(got.size(), 2u * kEach);
  int next[2] = {0, 0};
  for (auto& r : got) {
    int who = r.Text[0] == 'A' ? 0 : 1;
    EXPECT_EQ(r.Text, std::string(who ? "B " : "A ") + std::to_string(next[who]++));
  }
}

using ChineseChannelTest = OnChineseMachine<ChannelTest>;

TEST_F(ChineseChannelTest, ChineseLinesArriveAsCodePage936Bytes) {
  ASSERT_EQ(GetACP(), 936u);
  create_viewer();
  TDebugLogger& d = TheDebugger();
  d.LogMsgWithTag(W_("加载配置文件"), W_("配置"));
  // A text longer than one record is cut between characters, never inside one.
  WStr longer = W_("x") + WStr(2500, u'安');
  d.LogMsg(longer);
  auto got = drain(map);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].Text, "\xBC\xD3\xD4\xD8\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE");
  EXPECT_EQ(got[0].Tag, "\xC5\xE4\xD6\xC3");
  EXPECT_EQ(got[1].Text.size(), 4095u);
  EXPECT_EQ(got[2].Text.size(), 5001u - 4095u);
  EXPECT_EQ(got[1].Text + got[2].Text, "x" + [] {
    std::string s;
    for (int i = 0; i < 2500; ++i) s += "\xB0\xB2";
    return s;
  }());
}

// A map made by hand, as a foreign or broken viewer may leave it: the section's size, then the
// header's fields over a sound one.
class BrokenMapTest : public ChineseChannelTest {
 protected:
  unique_kernel_handle map_, mutex_, event_;
  unique_view view_;
  std::uint8_t* make(DWORD section, DWORD header_size) {
    map_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, section, DEBUGLOG_MAP_NAME));
    mutex_.reset(CreateMutexW(nullptr, FALSE, DEBUGLOG_QUEUE_MUTEX_NAME));
    event_.reset(CreateEventW(nullptr, FALSE, FALSE, DEBUGLOG_QUEUE_EVENT_NAME));
    view_.reset(MapViewOfFile(map_.get(), FILE_MAP_ALL_ACCESS, 0, 0, section));
    EXPECT_TRUE(map_ && mutex_ && event_ && view_);
    auto* v = static_cast<std::uint8_t*>(view_.get());
    if (section >= kMapHeaderSize) InitHeader(v, header_size);
    return v;
  }
  static TDebugMessage message(const char* text, const char* tag = "") {
    TDebugMessage m;
    m.Text = text;
    m.Tag = tag;
    return m;
  }
};

TEST_F(BrokenMapTest, HeadersThatMakeNoSenseNeverConnect) {
  struct Case {
    const char* what;
    DWORD section, header_size;
    std::uint32_t field, value;
  } cases[] = {
      {"garbage", 4096, 4096, kOffSignature, 0x12345678},
      {"no readiness mark", 4096, 4096, kOffReadyMark, 0},
      {"a map larger than the section", 4096, 100000, kOffMapSize, 100000},
      {"a map smaller than a header", 4096, 4096, kOffMapSize, 40},
      {"a queue offset past the map", 4096, 4096, kOffQueueOffset, 5000},
      {"a queue too small for any record", 4096, 4096, kOffQueueOffset, 4096 - 40},
  };
  for (auto& tc : cases) {
    TMapFileChannel ch;
    std::uint8_t* v = make(tc.section, tc.header_size);
    Store32(v + tc.field, tc.value);
    EXPECT_FALSE(ch.CheckReady()) << tc.what;
    EXPECT_FALSE(ch.Connected()) << tc.what;
    view_.reset();
    map_.reset();
  }
  TMapFileChannel ch;
  make(40, 0);  // too small even for the header
  EXPECT_FALSE(ch.CheckReady());
}

TEST_F(BrokenMapTest, BadPositionsOrTextCloseTheChannelAndWriteNothing) {
  struct Case {
    const char* what;
    std::uint32_t field, value;
    const char* text;
    const char* tag;
  } cases[] = {
      {"a front past the map's end", kOffFront, 999999, "text", ""},
      {"a tail past the map's end", kOffTail, 5000, "text", ""},
      {"a map size changed after connecting", kOffMapSize, 2048, "text", ""},
      {"a queue offset changed after connecting", kOffQueueOffset, 64, "text", ""},
      {"the readiness mark gone", kOffReadyMark, 1, "text", ""},
      {"a text that is no text in code page 936", kOffFront, 0, "\xBC\xD3\xD4", ""},
      {"a tag that is no text in code page 936", kOffFront, 0, "text", "\xFF\x41"},
  };
  for (auto& tc : cases) {
    TMapFileChannel ch;
    ch.SetAutoFlush(false);
    std::uint8_t* v = make(4096, 4096);
    ASSERT_TRUE(ch.CheckReady()) << tc.what;
    Store32(v + tc.field, tc.value);
    std::vector<std::uint8_t> before(v, v + 4096);
    ch.SendContent(message(tc.text, tc.tag));
    EXPECT_FALSE(ch.Connected()) << tc.what;
    EXPECT_EQ(std::vector<std::uint8_t>(v, v + 4096), before) << tc.what;
    view_.reset();
    map_.reset();
  }
}

TEST_F(BrokenMapTest, ARecordLargerThanTheQueueIsDroppedWithoutTouchingIt) {
  TMapFileChannel ch;
  ch.SetAutoFlush(false);
  std::uint8_t* v = make(1024, 1024);
  ASSERT_TRUE(ch.CheckReady());
  std::vector<std::uint8_t> before(v, v + 1024);
  ch.SendContent(message(std::string(2000, 'x').c_str()));
  EXPECT_EQ(std::vector<std::uint8_t>(v, v + 1024), before);
  EXPECT_TRUE(ch.Connected());  // nothing wrong with the viewer
  ch.SendContent(message("fits"));
  EXPECT_EQ(le32(v + kOffTail), 52u);
}

TEST_F(ChannelTest, AViewerThatDiesHoldingTheMutexCostsOneWaitAndNoRecord) {
  create_viewer();
  TDebugLogger& d = TheDebugger();
  d.LogMsg(W_("connect"));
  drain(map);
  std::filesystem::create_directories(c("Tools"));
  std::filesystem::copy_file(MUTEX_HOLDER_EXE, c("Tools/holder.exe"));
  unique_kernel_handle has_it(CreateEventW(nullptr, TRUE, FALSE, W_("Global\\MutexHolderHasIt")));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  WStr cmd = W_("C:\\Tools\\holder.exe");
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  unique_kernel_handle process(pi.hProcess), thread(pi.hThread);
  ASSERT_EQ(WaitForSingleObject(has_it.get(), 5000), WAIT_OBJECT_0);
  // The record waits for the mutex until its holder has died, then goes in after it.
  d.LogMsg(W_("after the holder died"));
  ASSERT_EQ(WaitForSingleObject(process.get(), 5000), WAIT_OBJECT_0);
  d.LogMsg(W_("and on"));
  EXPECT_EQ(texts(drain(map)), (std::vector<std::string>{"after the holder died", "and on"}));
}

// The viewer program itself, inside the machine.
class ViewerProgramTest : public ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    std::filesystem::create_directories(c("Tools"));
    std::filesystem::copy_file(VIEWER_EXE, c("Tools/DebugLogViewer.exe"));
  }
  // Asks the viewer to read what is left and end.
  static void stop_viewer() {
    unique_kernel_handle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, DEBUGLOG_VIEWER_STOP_EVENT_NAME));
    ASSERT_TRUE(stop);
    SetEvent(stop.get());
  }
  // The lines of a file the viewer writes, once `last` is among them (at most 10 s).
  std::vector<std::string> lines_when(const std::string& rel, const std::string& last) {
    std::vector<std::string> lines;
    for (int i = 0; i < 1000; ++i) {
      lines.clear();
      std::string all = read_file(c(rel));
      for (size_t at = 0, nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(all.substr(at, nl - at - (nl > at && all[nl - 1] == '\r')));
      if (!lines.empty() && lines.back().find(last) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return lines;
  }
};

TEST_F(ViewerProgramTest, StartedByTheInstallerItSavesEveryLine) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, W_("Software\\DebugLog\\Viewer"), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  unique_hkey owner(key);
  WStr cmd = W_("C:\\Tools\\DebugLogViewer.exe -q -o C:\\Tools\\log.txt -j C:\\Tools\\log.jsonl");
  ASSERT_EQ(RegSetValueExW(key, W_("ViewerCommand"), 0, REG_SZ, reinterpret_cast<const BYTE*>(cmd.c_str()),
                           static_cast<DWORD>((cmd.size() + 1) * sizeof(WCHAR))),
            ERROR_SUCCESS);
  TDebugLogger& d = TheDebugger();
  // The first line starts the viewer and waits until it reads: nothing is lost.
  d.LogEnter(W_("_ResLoad()"));
  d.LogMsgWithTag(W_("staging"), W_("LOAD"));
  d.LogMsgError(W_("broken\r\nsecond line"));
  d.LogLeave(W_("_ResLoad()"));
  d.LogSeparator();
  stop_viewer();
  auto text = lines_when("Tools/log.txt", " -");
  ASSERT_EQ(text.size(), 6u) << read_file(c("Tools/log.txt"));
  std::string tid = std::to_string(GetCurrentThreadId());
  std::string ids = std::to_string(GetCurrentProcessId());
  std::vector<std::string> want = {"enter     Enter: _ResLoad()", "info      [LOAD]   staging",
                                   "error       broken", "second line", "leave     Leave: _ResLoad()",
                                   "separator -"};
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_NE(text[i].find(want[i]), std::string::npos) << text[i];
    if (i != 3) {
      EXPECT_NE(text[i].find(" " + ids + " "), std::string::npos) << text[i];
      EXPECT_NE(text[i].find(" " + tid + " 3 "), std::string::npos) << text[i];
    }
  }
  auto json = lines_when("Tools/log.jsonl", "\"-\"");
  ASSERT_EQ(json.size(), 5u);
  EXPECT_NE(json[1].find("\"type\":\"info\",\"indent\":1,\"tag\":\"LOAD\",\"text\":\"staging\""), std::string::npos)
      << json[1];
  EXPECT_NE(json[2].find("\"text\":\"broken\\r\\nsecond line\""), std::string::npos) << json[2];
}

TEST_F(ViewerProgramTest, AttachedItSaysItIsReadyAndTypedFiltersReachTheInstaller) {
  unique_kernel_handle started(CreateEventW(nullptr, FALSE, FALSE, DEBUGLOG_START_EVENT_NAME));
  HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  ASSERT_TRUE(CreatePipe(&in_read, &in_write, &sa, 0));
  ASSERT_TRUE(CreatePipe(&out_read, &out_write, &sa, 0));
  unique_kernel_handle ir(in_read), iw(in_write), orr(out_read), ow(out_write);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in_read;
  si.hStdOutput = out_write;
  si.hStdError = out_write;
  PROCESS_INFORMATION pi{};
  WStr cmd = W_("C:\\Tools\\DebugLogViewer.exe -a 4242 --no-color -j C:\\Tools\\log.jsonl");
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
  unique_kernel_handle process(pi.hProcess), thread(pi.hThread);
  ir.reset();
  ow.reset();
  ASSERT_EQ(WaitForSingleObject(started.get(), 5000), WAIT_OBJECT_0);
  TDebugLogger& d = TheDebugger();
  d.LogMsg(W_("one"));
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(iw.get(), "types error\n", 12, &n, nullptr));
  // The viewer reports the filter once it is in the map's header.
  std::string out;
  char buf[512];
  while (out.find("filter on") == std::string::npos && ReadFile(orr.get(), buf, sizeof buf, &n, nullptr) && n)
    out.append(buf, n);
  ASSERT_NE(out.find("filter on"), std::string::npos) << out;
  d.LogMsg(W_("info"));
  d.LogMsgError(W_("error"));
  ASSERT_TRUE(WriteFile(iw.get(), "quit\n", 5, &n, nullptr));
  ASSERT_EQ(WaitForSingleObject(process.get(), 5000), WAIT_OBJECT_0);
  while (ReadFile(orr.get(), buf, sizeof buf, &n, nullptr) && n) out.append(buf, n);
  EXPECT_NE(out.find("info      one"), std::string::npos) << out;
  EXPECT_EQ(out.find("info      info"), std::string::npos) << out;
  EXPECT_NE(out.find("error     error"), std::string::npos) << out;
  EXPECT_NE(out.find("2 records received"), std::string::npos) << out;
  EXPECT_EQ(lines_when("Tools/log.jsonl", "\"error\"").size(), 2u);
}

}  // namespace
