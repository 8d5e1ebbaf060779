// A log map as a foreign or broken viewer may have written it: any header, any positions, any
// bytes in the queue, and a header that changes between records. The channel's steps run over a
// block exactly as large as the view the channel would have, so that AddressSanitizer sees any
// read or write outside it.
#include <cstring>
#include <vector>

#include "debuglog/LogQueue.h"
#include "fuzz_machine.h"

using namespace logq;

namespace {

struct Input {
  const uint8_t* p;
  size_t n;
  uint8_t byte() { return n ? (--n, *p++) : 0; }
  uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::machine();
  Input in{data, size};
  // The view: its size, then its bytes (what the input does not give stays zero).
  size_t view_size = in.word() % 8192;
  size_t given = std::min(view_size, static_cast<size_t>(in.word()) % 8193);
  std::vector<uint8_t> view(view_size);
  for (size_t i = 0; i < given; ++i) view[i] = in.byte();

  Layout layout;
  bool connected = ParseHeader(view.data(), view_size, layout);
  if (connected && (layout.QueueOffset + layout.QueueSize + layout.Slack > view_size || layout.Slack > kLengthSlack))
    fuzz::fail("a layout outside the view");
  std::vector<uint8_t> rec(kMaxRecordSize);
  std::vector<uint8_t> out(kMaxRecordSize);
  for (int op = 0; op < 64 && in.n; ++op) {
    switch (in.byte() % 5) {
      case 0: {  // the installer sends a record
        if (!connected) {
          connected = ParseHeader(view.data(), view_size, layout);
          break;
        }
        TDebugMessage m;
        m.Text.assign(in.word() % (kMaxTextBytes + 1), 'x');
        uint32_t len = PackRecord(m, rec.data());
        if (len >= layout.QueueSize) break;  // the channel drops it before the queue
        PutResult r = SendToQueue(view.data(), layout, rec.data(), len);
        if (r == PutResult::kCorrupt) connected = false;  // the channel closes itself
        if (r == PutResult::kWritten) {
          uint32_t front, tail;
          std::memcpy(&front, view.data() + kOffFront, 4);
          std::memcpy(&tail, view.data() + kOffTail, 4);
          if (front >= layout.QueueSize || tail >= layout.QueueSize) fuzz::fail("positions left outside the queue");
        }
        break;
      }
      case 1: {  // the header changes under the channel
        size_t at = in.byte() % kMapHeaderSize;
        if (at < view_size) view[at] = in.byte();
        break;
      }
      case 2:  // the filter is read
        if (connected && FilterChanged(view.data())) {
          TDebugFilter f = ReadFilter(view.data());
          if (f.FTag.size() > kTagBytes) fuzz::fail("a filter tag longer than its field");
          ClearFilterChanged(view.data());
        }
        break;
      case 3: {  // a reader takes a record
        if (!connected) break;
        uint32_t front, tail, len = 0;
        std::memcpy(&front, view.data() + kOffFront, 4);
        std::memcpy(&tail, view.data() + kOffTail, 4);
        if (TakeRecord(view.data() + layout.QueueOffset, layout.QueueSize, front, tail, out.data(), len) ==
            TakeResult::kRecord) {
          Record r;
          if (!UnpackRecord(out.data(), len, r)) fuzz::fail("a record taken that does not unpack");
          std::memcpy(view.data() + kOffFront, &front, 4);
        }
        break;
      }
      case 4: {  // a queue byte changes
        if (!connected) break;
        size_t at = layout.QueueOffset + in.word() % layout.QueueSize;
        view[at] = in.byte();
        break;
      }
    }
  }
  return 0;
}
