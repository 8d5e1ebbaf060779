// The diagnostic log: message types and texts, pieces of 4096 bytes, per-thread indents, the
// switch, the viewer's filter and formatting with its error fallback.
#include <thread>

#include "support/installer_fixture.h"

using namespace testutil;

namespace {

using LogTest = InstallerTest;

TEST_F(LogTest, OperationsAndTheirMessages) {
  TDebugLogger& d = TheDebugger();
  d.LogMsg(W_("plain"));
  d.LogMsgWithTag(W_("tagged"), W_("加载"));
  d.LogMsgWarning(W_("careful"));
  d.LogMsgError(W_("broken"));
  d.LogFmt(W_("%s=%d"), {W_("n"), 7});
  d.LogErrorFmt(W_("code 0x%.8x"), {255});
  d.LogSeparator();
  d.LogMsg(W_(""));  // an empty text is not sent
  struct Want {
    const char* text;
    TDebugMsgType type;
  } want[] = {{"plain", dmtInformation}, {"tagged", dmtInformation},    {"careful", dmtWarning}, {"broken", dmtError},
              {"n=7", dmtInformation},   {"code 0x000000FF", dmtError}, {"-", dmtSeparator}};
  ASSERT_EQ(log->records.size(), std::size(want));
  for (size_t i = 0; i < std::size(want); ++i) {
    EXPECT_EQ(log->records[i].Text, want[i].text);
    EXPECT_EQ(log->records[i].MsgType, want[i].type);
    EXPECT_EQ(log->records[i].Level, 3);
    EXPECT_EQ(log->records[i].ProcessId, GetCurrentProcessId());
    EXPECT_EQ(log->records[i].TimeStampType, 1);
  }
  // In a 1252 machine the tag's Chinese has no characters: it arrives as question marks.
  EXPECT_EQ(log->records[1].Tag, "??");
  EXPECT_EQ(log->start_attempts, 1);
}

TEST_F(LogTest, LongTextsGoInPiecesOf4096Bytes) {
  TheDebugger().LogMsgWithTag(WStr(5000, u'x'), W_("big"));
  ASSERT_EQ(log->records.size(), 2u);
  EXPECT_EQ(log->records[0].Text.size(), 4096u);
  EXPECT_EQ(log->records[1].Text.size(), 904u);
  EXPECT_EQ(log->records[0].Tag, log->records[1].Tag);
  EXPECT_EQ(log->records[0].MsgType, log->records[1].MsgType);
  EXPECT_EQ(log->records[0].Indent, log->records[1].Indent);
}

TEST_F(LogTest, EachThreadHasItsOwnIndent) {
  TDebugLogger& d = TheDebugger();
  d.LogLeave(W_("Never"));  // never entered: stays at 0
  d.LogEnter(W_("Outer"));
  std::thread other([&] {
    d.LogEnter(W_("Other"));
    d.LogMsg(W_("in other"));
    d.LogLeave(W_("Other"));
  });
  other.join();
  d.LogMsg(W_("in outer"));
  d.LogLeave(W_("Outer"));
  std::vector<std::pair<std::string, int>> got;
  for (auto& r : log->records) got.push_back({r.Text, r.Indent});
  std::vector<std::pair<std::string, int>> want = {{"Leave: Never", 0}, {"Enter: Outer", 0}, {"Enter: Other", 0},
                                                   {"in other", 1},     {"Leave: Other", 0}, {"in outer", 1},
                                                   {"Leave: Outer", 0}};
  EXPECT_EQ(got, want);
  EXPECT_NE(log->records[2].ThreadId, log->records[1].ThreadId);
}

TEST_F(LogTest, SwitchedOffNothingIsSentButTheViewerStartIsTriedOnce) {
  TDebugLogger& d = TheDebugger();
  d.SetActive(false);
  d.LogMsg(W_("one"));
  d.LogFmt(W_("%d"), {2});
  d.LogEnter(W_("X"));
  EXPECT_TRUE(log->records.empty());
  EXPECT_EQ(log->start_attempts, 1);
  d.SetActive(true);
  d.LogMsg(W_("back"));
  ASSERT_EQ(log->records.size(), 1u);
  EXPECT_EQ(log->records[0].Indent, 1);  // the indent kept counting while off
  EXPECT_EQ(log->start_attempts, 1);
  // No viewer connected: dropped.
  log->ready = false;
  d.LogMsg(W_("lost"));
  EXPECT_EQ(log->records.size(), 1u);
}

TEST_F(LogTest, TheViewersFilter) {
  TDebugLogger& d = TheDebugger();
  auto send_all = [&] {
    log->records.clear();
    d.LogMsg(W_("info"));
    d.LogMsgError(W_("error"));
    d.LogMsgWithTag(W_("tagged"), W_("ABC"));
    d.LogMsgWithTag(W_("long tag"), W_("abcdefghi"));
    std::vector<std::string> texts;
    for (auto& r : log->records) texts.push_back(r.Text);
    return texts;
  };
  auto set = [&](TDebugFilter f) {
    f.FEnabled = true;
    log->filter = f;
    log->filter_changed = true;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(send_all(), (V{"info", "error", "tagged", "long tag"}));
  set({true, 2, "", 0});
  EXPECT_EQ(send_all(), V{});  // every installer message has level 3
  set({true, 3, "", 1u << dmtError});
  EXPECT_EQ(send_all(), V{"error"});
  set({true, 3, "abc", 0});
  EXPECT_EQ(send_all(), V{"tagged"});
  set({true, 3, "abcdefghi", 0});
  EXPECT_EQ(send_all(), V{});  // a tag over 8 characters never matches
  EXPECT_EQ(d.Filter().FTag, "abcdefghi");
}

TEST(Format, Directives) {
  struct Case {
    const WCHAR* fmt;
    std::vector<TVarRec> args;
    const char* out;
  } cases[] = {
      {W_("%s and %s"), {W_("a"), W_("b")}, "a and b"},
      {W_("%d|%5d|%-5d|%.3d"), {-7, 42, 42, 5}, "-7|   42|42   |005"},
      {W_("%x %.8x %X"), {255, 255, -1}, "FF 000000FF FFFFFFFF"},
      {W_("%u"), {-1}, "4294967295"},
      {W_("%f %2.2f %.0f"), {1.5, 3.14159, 2.5}, "1.50 3.14 2"},
      {W_("%.2s|%3s"), {W_("abcdef"), W_("x")}, "ab|  x"},
      {W_("100%%"), {}, "100%"},
      {W_("%1:s %0:s"), {W_("a"), W_("b")}, "b a"},
      {W_("%*d"), {4, 7}, "   7"},
      {W_("%d"), {static_cast<long long>(3758096907LL)}, "3758096907"},
  };
  for (auto& tc : cases) EXPECT_EQ(ToUtf8(Format(tc.fmt, tc.args.data(), tc.args.size())), tc.out) << ToUtf8(tc.fmt);
  for (const WCHAR* bad : {W_("%d"), W_("%x"), W_("%q"), W_("%")})
    EXPECT_THROW(Format(bad, {W_("x")}), KelvaneError) << ToUtf8(bad);
  EXPECT_THROW(Format(W_("%s"), {1}), KelvaneError);
  EXPECT_THROW(Format(W_("%d %d"), {1}), KelvaneError);
  EXPECT_THROW(Format(W_("%f"), {1}), KelvaneError);
  // Fields, precisions and indexes past any sensible size are broken formats, whatever their
  // digits would add up to: a hostile language file must not overflow or exhaust the installer.
  for (const WCHAR* huge : {W_("%99999999999s"), W_("%2000000000s"), W_("%.99999999999s"), W_("%4097s"),
                            W_("%-4097s"), W_("%99999999999:s"), W_("%4294967296:s")})
    EXPECT_THROW(Format(huge, {W_("x")}), KelvaneError) << ToUtf8(huge);
  EXPECT_THROW(Format(W_("%*s"), {2000000000, W_("x")}), KelvaneError);
  EXPECT_EQ(Format(W_("%4096s"), {W_("x")}).size(), 4096u);
  EXPECT_EQ(ToUtf8(Format(W_("%*d|"), {-3, 7})), "7|");
}

TEST_F(LogTest, FormatErrorsAreLoggedWithTheArgumentsInHex) {
  TheDebugger().LogFmt(W_("%d items, %d left"), {42});
  TheDebugger().LogErrorFmt(W_("%d"), {});
  ASSERT_EQ(log->records.size(), 2u);
  EXPECT_EQ(log->records[0].Text, "Format Error! Format String: %d items, %d left. \r\nHex Params: 0000002A");
  EXPECT_EQ(log->records[1].Text, "Format Error! Format String: %d. ");
  EXPECT_EQ(log->records[1].MsgType, dmtError);
}

}  // namespace
