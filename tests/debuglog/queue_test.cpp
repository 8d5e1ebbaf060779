// The log's shared-memory protocol on plain memory: record packing, the ring queue's overrun,
// wrap and split rules, the header checks and the filter in the header.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>

#include "debuglog/LogQueue.h"
#include "support/machine_fixture.h"

using namespace logq;

namespace {

std::uint32_t le32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A record of `size` bytes whose text bytes tell which record it is.
std::vector<std::uint8_t> record(std::uint32_t size, std::uint8_t mark) {
  TDebugMessage m;
  m.Text.assign(size - kRecordHeaderSize, static_cast<char>(mark));
  std::vector<std::uint8_t> r(kMaxRecordSize);
  r.resize(PackRecord(m, r.data()));
  return r;
}

// A queue of Q bytes with `slack` writable bytes after it, and guard bytes after those that
// must never change.
struct Queue {
  static constexpr std::uint8_t kGuard = 0xA5;
  std::vector<std::uint8_t> mem;
  Layout layout;
  std::uint32_t front = 0, tail = 0;
  Queue(std::uint32_t q, std::uint32_t slack) : mem(q + slack + 16, 0) {
    layout.QueueSize = q;
    layout.Slack = slack;
    std::memset(mem.data() + q + slack, kGuard, 16);
  }
  PutResult put(const std::vector<std::uint8_t>& r, bool* dropped = nullptr) {
    bool d = false;
    PutResult res = PutRecord(mem.data(), layout, front, tail, r.data(), static_cast<std::uint32_t>(r.size()), d);
    if (dropped) *dropped = d;
    return res;
  }
  std::vector<std::uint8_t> take() {
    std::vector<std::uint8_t> out(kMaxRecordSize);
    std::uint32_t size = 0;
    if (TakeRecord(mem.data(), layout.QueueSize, front, tail, out.data(), size) != TakeResult::kRecord) return {};
    out.resize(size);
    return out;
  }
  bool guard_intact() const {
    for (size_t i = layout.QueueSize + layout.Slack; i < mem.size(); ++i)
      if (mem[i] != kGuard) return false;
    return true;
  }
};

TEST(LogRecord, PackedInTheFixedLayout) {
  TDebugMessage m;
  m.Text = "Enter: _ResLoad()";
  m.Tag = "TAGTOOLONG";
  m.Level = 3;
  m.MsgType = dmtEnterProc;
  m.Indent = 2;
  m.ProcessId = 0x1234;
  m.ThreadId = 0x5678;
  m.TimeStamp = {2000, 1, 6, 1, 18, 0, 0, 0};  // 1 January 2000, 18:00
  std::uint8_t rec[kMaxRecordSize];
  std::uint32_t size = PackRecord(m, rec);
  ASSERT_EQ(size, 48u + 17u);
  EXPECT_EQ(le32(rec), size);
  EXPECT_EQ(le32(rec + 4), 3u);
  EXPECT_EQ(le32(rec + 8), 2u);
  EXPECT_EQ(le32(rec + 12), 0x1234u);
  EXPECT_EQ(le32(rec + 16), 0x5678u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rec + 20), 8), "TAGTOOLO");
  EXPECT_EQ(le32(rec + 28), 4u);
  EXPECT_EQ(le32(rec + 32), 0u);
  EXPECT_EQ(le32(rec + 36), 1u);
  double stamp;
  std::memcpy(&stamp, rec + 40, 8);
  EXPECT_DOUBLE_EQ(stamp, 36526.75);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rec + 48), 17), "Enter: _ResLoad()");

  Record r;
  ASSERT_TRUE(UnpackRecord(rec, size, r));
  EXPECT_EQ(r.Tag, "TAGTOOLO");
  EXPECT_EQ(r.Text, m.Text);
  SYSTEMTIME back = FromOleDate(r.TimeStamp);
  EXPECT_EQ(back.wYear, 2000);
  EXPECT_EQ(back.wHour, 18);
  EXPECT_EQ(back.wDayOfWeek, 6);  // a Saturday
  EXPECT_FALSE(UnpackRecord(rec, size - 1, r));  // the length field must be the size

  m.Text.assign(5000, 'x');  // never more than one record's text
  m.Tag = "ab";
  EXPECT_EQ(PackRecord(m, rec), kMaxRecordSize);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rec + 20), 8), std::string("ab\0\0\0\0\0\0", 8));
}

TEST(LogQueue, TheOldestRecordsMakeRoom) {
  // 100 bytes free before the front, unread records of 100 bytes from there round to the tail.
  Queue q(1000, 0);
  q.front = 300;
  q.tail = 200;
  for (std::uint32_t at = 300, i = 0; at != 200; at = (at + 100) % 1000, ++i) {
    auto r = record(100, static_cast<std::uint8_t>(i));
    std::memcpy(q.mem.data() + at, r.data(), 100);
  }
  bool dropped = false;
  ASSERT_EQ(q.put(record(200, 0xEE), &dropped), PutResult::kWritten);
  EXPECT_TRUE(dropped);
  EXPECT_EQ(q.tail, 400u);
  EXPECT_EQ(q.front, 500u);  // records at 300 and 400 went: the tail must not reach the front
  // What is left reads in order, the new record last and whole.
  std::vector<std::uint8_t> marks;
  for (auto r = q.take(); !r.empty(); r = q.take()) marks.push_back(r[48]);
  EXPECT_EQ(marks, (std::vector<std::uint8_t>{2, 3, 4, 5, 6, 7, 8, 0xEE}));
}

TEST(LogQueue, EndingAtTheQueuesEndLeavesTheTailAtZero) {
  Queue q(1000, 0);
  q.front = q.tail = 800;
  ASSERT_EQ(q.put(record(200, 1)), PutResult::kWritten);
  EXPECT_EQ(q.tail, 0u);
  EXPECT_EQ(q.front, 800u);
  EXPECT_EQ(q.take(), record(200, 1));
}

TEST(LogQueue, ARecordThatCannotFitIsDroppedUntouched) {
  for (std::uint32_t size : {1001u, 1000u}) {  // as long as the queue: the tail would meet the front
    Queue q(1000, 4);
    q.front = 100;
    q.tail = 300;
    auto before = q.mem;
    std::vector<std::uint8_t> big(size, 0x11);
    bool dropped = true;
    EXPECT_EQ(q.put(big, &dropped), PutResult::kTooLarge) << size;
    EXPECT_FALSE(dropped);
    EXPECT_EQ(q.front, 100u);
    EXPECT_EQ(q.tail, 300u);
    EXPECT_EQ(q.mem, before);
  }
}

TEST(LogQueue, ASplitLeavingOneToThreeBytesKeepsTheLengthReadable) {
  for (std::uint32_t d : {1u, 2u, 3u}) {
    for (std::uint32_t slack : {4u, 0u}) {
      SCOPED_TRACE(testing::Message() << d << " bytes before the end, slack " << slack);
      Queue q(1000, slack);
      q.front = q.tail = 1000 - d;
      auto r = record(120, 7);
      ASSERT_EQ(q.put(r), PutResult::kWritten);
      EXPECT_EQ(q.tail, 120 - d);
      EXPECT_TRUE(q.guard_intact());
      if (slack) {
        EXPECT_EQ(le32(q.mem.data() + 1000 - d), 120u);  // whole at its position
      }
      EXPECT_EQ(std::vector<std::uint8_t>(q.mem.begin(), q.mem.begin() + (120 - d)),
                std::vector<std::uint8_t>(r.begin() + d, r.end()));
      EXPECT_EQ(q.take(), r);  // a reader that follows the wrap gets it either way
      EXPECT_EQ(q.front, q.tail);
    }
  }
}

TEST(LogQueue, PositionsAndLengthsThatMakeNoSenseWriteNothing) {
  struct Case {
    const char* what;
    std::uint32_t front, tail, length_at_front;
  } cases[] = {
      {"front past the end", 1000, 10, 100},
      {"tail past the end", 10, 5000, 100},
      {"a zero length", 300, 200, 0},
      {"a length shorter than a record header", 300, 200, 47},
      {"a length longer than any record", 300, 200, kMaxRecordSize + 1},
      {"a length as long as the queue", 300, 200, 1000},
  };
  for (auto& tc : cases) {
    Queue q(1000, 0);
    q.front = tc.front;
    q.tail = tc.tail;
    if (tc.front < 1000) std::memcpy(q.mem.data() + tc.front, &tc.length_at_front, 4);
    auto before = q.mem;
    EXPECT_EQ(q.put(record(200, 1)), PutResult::kCorrupt) << tc.what;
    EXPECT_EQ(q.mem, before) << tc.what;
    EXPECT_EQ(q.front, tc.front) << tc.what;
    EXPECT_EQ(q.tail, tc.tail) << tc.what;
  }
  // Lengths that chain round the queue without ever meeting the tail end the search.
  Queue q(1000, 0);
  q.front = 200;
  q.tail = 100;
  std::uint32_t len = 500;
  std::memcpy(q.mem.data() + 200, &len, 4);
  std::memcpy(q.mem.data() + 700, &len, 4);
  EXPECT_EQ(q.put(record(900, 1)), PutResult::kCorrupt);
}

// Writers and a reader at random against a model of what must be read: every record read is
// the oldest one not yet dropped, whole, and nothing is ever written outside the queue.
TEST(LogQueue, AgreesWithAModelOverManyWraps) {
  for (std::uint32_t slack : {0u, 4u}) {
    std::mt19937 rng(slack + 1);
    Queue q(997, slack);  // an odd size, so that splits fall everywhere
    std::deque<std::vector<std::uint8_t>> unread;
    std::uint8_t mark = 0;
    for (int step = 0; step < 20000; ++step) {
      if (rng() % 3) {
        auto r = record(48 + rng() % 300, ++mark);
        bool dropped = false;
        ASSERT_EQ(q.put(r, &dropped), PutResult::kWritten);
        // Dropping takes whole records from the old end until the new one fits.
        std::uint32_t used = 0;
        for (auto& u : unread) used += static_cast<std::uint32_t>(u.size());
        size_t before = unread.size();
        while (!unread.empty() && used + r.size() >= 997) {
          used -= static_cast<std::uint32_t>(unread.front().size());
          unread.pop_front();
        }
        EXPECT_EQ(dropped, unread.size() != before);
        unread.push_back(r);
      } else {
        auto got = q.take();
        if (unread.empty()) {
          ASSERT_TRUE(got.empty());
        } else {
          ASSERT_EQ(got, unread.front()) << "step " << step;
          unread.pop_front();
        }
      }
      ASSERT_TRUE(q.guard_intact());
    }
  }
}

TEST(LogMapHeader, OnlyASoundHeaderInsideTheViewIsAccepted) {
  alignas(8) std::uint8_t view[4096] = {};
  InitHeader(view, 4000);
  Layout l;
  ASSERT_TRUE(ParseHeader(view, 4004, l));
  EXPECT_EQ(l.MapSize, 4000u);
  EXPECT_EQ(l.QueueOffset, 52u);
  EXPECT_EQ(l.QueueSize, 4000u - 52u);
  EXPECT_EQ(l.Slack, 4u);
  ASSERT_TRUE(ParseHeader(view, 4000, l));
  EXPECT_EQ(l.Slack, 0u);

  struct Case {
    const char* what;
    std::uint32_t offset, value;
    size_t view_size;
  } cases[] = {
      {"a view smaller than a header", 12, 4000, 49},
      {"a map larger than the view", 12, 4001, 4000},
      {"a queue inside the header", 16, 40, 4000},
      {"a queue past the map", 16, 4001, 4096},
      {"a queue too small for a record", 16, 4000 - 49, 4000},
      {"no readiness mark", 8, 0, 4000},
      {"no zero byte after the signature", 4, 0x58474C47, 4000},  // "GLGX"
  };
  for (auto& tc : cases) {
    alignas(8) std::uint8_t v[4096];
    std::memcpy(v, view, sizeof v);
    std::memcpy(v + tc.offset, &tc.value, 4);
    EXPECT_FALSE(ParseHeader(v, tc.view_size, l)) << tc.what;
  }
}

TEST(LogMapHeader, TheViewersFilter) {
  alignas(8) std::uint8_t view[256] = {};
  InitHeader(view, 256);
  EXPECT_FALSE(FilterChanged(view));
  TDebugFilter f{true, 2, "abc", static_cast<TDebugMsgTypes>(1u << dmtError | 1u << dmtWarning)};
  WriteFilter(view, f);
  EXPECT_TRUE(FilterChanged(view));
  EXPECT_EQ(le32(view + 32), 1u);
  EXPECT_EQ(le32(view + 36), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(view + 40), 8), std::string("abc\0\0\0\0\0", 8));
  EXPECT_EQ(view[48] | view[49] << 8, 6);
  TDebugFilter back = ReadFilter(view);
  EXPECT_EQ(back.FEnabled, true);
  EXPECT_EQ(back.FLevel, 2);
  EXPECT_EQ(back.FTag, "abc");
  EXPECT_EQ(back.FMsgTypes, 6);
  ClearFilterChanged(view);
  EXPECT_FALSE(FilterChanged(view));
  // A tag of 8 characters has no zero byte after it in the header.
  std::memcpy(view + 40, "ABCDEFGH", 8);
  EXPECT_EQ(ReadFilter(view).FTag, "ABCDEFGH");
}

using ChineseMachine = OnChineseMachine<MachineTest>;

TEST_F(ChineseMachine, TextInTheCodePage) {
  ASSERT_EQ(GetACP(), 936u);
  EXPECT_TRUE(IsCodePageText("\xBC\xD3\xD4\xD8", 936));  // 加载
  EXPECT_TRUE(IsCodePageText("plain", 936));
  EXPECT_FALSE(IsCodePageText("\xBC\xD3\xD4", 936));  // a lead byte without its trail byte
  EXPECT_FALSE(IsCodePageText("\xFF\x41", 936));      // no character in GBK
}

}  // namespace
