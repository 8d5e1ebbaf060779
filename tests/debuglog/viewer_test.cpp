// The viewer's options, its lines on the console and in the saved files, and the filter commands.
#include <gtest/gtest.h>

#include <cstring>

#include "support/machine_fixture.h"
#include "viewer/LogViewer.h"

using namespace viewer;
using namespace testutil;

namespace {

WStr wide(const char* ascii) { return WStr(ascii, ascii + std::strlen(ascii)); }

logq::Record sample(std::uint32_t type, int indent, std::string text, std::string tag = "") {
  logq::Record r;
  r.Level = 3;
  r.Indent = indent;
  r.ProcessId = 4242;
  r.ThreadId = 77;
  r.MsgType = type;
  r.Tag = std::move(tag);
  r.TimeStampType = 1;
  r.TimeStamp = 36526.75 + 1.5 / 86400.0;  // 1 January 2000, 18:00:01.500
  r.Text = std::move(text);
  return r;
}

using ViewerTest = MachineTest;  // an English machine: code page 1252

TEST_F(ViewerTest, LinesShowTimeProcessThreadTypeIndentAndText) {
  EXPECT_EQ(FormatLine(sample(dmtEnterProc, 0, "Enter: _ResLoad()"), false),
            "18:00:01.500   4242     77 3 enter     Enter: _ResLoad()");
  EXPECT_EQ(FormatLine(sample(dmtInformation, 2, "inside", "CFG"), false),
            "18:00:01.500   4242     77 3 info      [CFG]     inside");
  // A text with line breaks goes on under its first line; the ANSI text arrives as UTF-8.
  EXPECT_EQ(FormatLine(sample(dmtError, 1, "Format Error!\r\nHex Params: 0000000A \xE9"), false),
            "18:00:01.500   4242     77 3 error       Format Error!\r\n"
            "                                         Hex Params: 0000000A \xC3\xA9");
  // Colour by type, reset at the end; information keeps the console's own colour.
  EXPECT_EQ(FormatLine(sample(dmtWarning, 0, "careful"), true),
            "\x1b[33m18:00:01.500   4242     77 3 warning   careful\x1b[0m");
  EXPECT_EQ(FormatLine(sample(dmtInformation, 0, "plain"), true), FormatLine(sample(dmtInformation, 0, "plain"), false));
  logq::Record odd = sample(99, -5, "x");
  odd.TimeStampType = 0;
  EXPECT_EQ(FormatLine(odd, false), "               4242     77 3 type99    x");
}

TEST_F(ViewerTest, JsonLinesForTools) {
  EXPECT_EQ(JsonLine(sample(dmtLeaveProc, 1, "Leave: \"a\\b\"\t\x01", "T")),
            "{\"time\":\"2000-01-01 18:00:01.500\",\"pid\":4242,\"tid\":77,\"level\":3,\"type\":\"leave\","
            "\"indent\":1,\"tag\":\"T\",\"text\":\"Leave: \\\"a\\\\b\\\"\\t\\u0001\"}");
}

TEST_F(ViewerTest, Options) {
  WStr error;
  auto o = ParseOptions({W_("-a"), W_("1234"), W_("-o"), W_("C:\\log.txt"), W_("-j"), W_("C:\\log.jsonl"), W_("-m"),
                         W_("error,Warning"), W_("-q"), W_("--no-color")},
                        error);
  ASSERT_TRUE(o) << utf8(error);
  EXPECT_EQ(o->AttachPid, 1234u);
  EXPECT_EQ(o->SavePath, W_("C:\\log.txt"));
  EXPECT_EQ(o->JsonPath, W_("C:\\log.jsonl"));
  ASSERT_TRUE(o->Filter);
  EXPECT_TRUE(o->Filter->FEnabled);
  EXPECT_EQ(o->Filter->FMsgTypes, (1u << dmtError) | (1u << dmtWarning));
  EXPECT_GT(o->Filter->FLevel, 3);  // a filter of types hides no level
  EXPECT_TRUE(o->Quiet);
  EXPECT_EQ(o->Colors, Options::Color::kNever);
  o = ParseOptions({}, error);
  ASSERT_TRUE(o);
  EXPECT_FALSE(o->Filter);
  EXPECT_FALSE(o->AttachPid);

  struct Bad {
    std::vector<WStr> args;
    const char* error;
  } bad[] = {
      {{W_("-a")}, "-a needs a value"},
      {{W_("-a"), W_("12x")}, "not a process id: 12x"},
      {{W_("-a"), W_("99999999999")}, "not a process id: 99999999999"},
      {{W_("-t"), W_("ninechars")}, "a tag has 1 to 8 characters: ninechars"},
      {{W_("-m"), W_("error,bogus")}, "unknown message type in: error,bogus"},
      {{W_("-s"), W_("100")}, "queue size from 4096 to 67108864 bytes: 100"},
      {{W_("/x")}, "unknown option: /x"},
  };
  for (auto& b : bad) {
    EXPECT_FALSE(ParseOptions(b.args, error)) << b.error;
    EXPECT_EQ(utf8(error), b.error);
  }
}

TEST_F(ViewerTest, FilterCommandsTypedWhileRunning) {
  TDebugFilter f;
  struct Step {
    const char* line;
    bool accepted;
    bool enabled;
    int level;
    const char* tag;
    TDebugMsgTypes types;
  } steps[] = {
      {"types error", true, true, 3, "", 1u << dmtError},
      {"  LEVEL 2 ", true, true, 2, "", 1u << dmtError},
      {"tag abc", true, true, 2, "abc", 1u << dmtError},
      {"off", true, false, 2, "abc", 1u << dmtError},
      {"level x", false, false, 2, "abc", 1u << dmtError},
      {"tag abcdefghi", false, false, 2, "abc", 1u << dmtError},
      {"types nonsense", false, false, 2, "abc", 1u << dmtError},
      {"on", true, true, 2, "abc", 1u << dmtError},
      {"types", true, true, 2, "abc", 0},
      {"types all", true, true, 2, "abc", 0xFFFF},
  };
  for (auto& s : steps) {
    EXPECT_EQ(ApplyFilterCommand(wide(s.line), f), s.accepted) << s.line;
    EXPECT_EQ(f.FEnabled, s.enabled) << s.line;
    EXPECT_EQ(f.FLevel, s.level) << s.line;
    EXPECT_EQ(f.FTag, s.tag) << s.line;
    EXPECT_EQ(f.FMsgTypes, s.types) << s.line;
  }
}

}  // namespace
