// The frame decoder with the block parser, fed the byte stream a receiver
// might send: the input is cut at every DC4 into frames, as the reader loop
// would read them, and the frames are decoded one after the other through one
// channel state, so pending blocks pile up across frames as they do on a
// real line. Every frame is decoded twice over buffers holding different
// stale bytes: any difference means the decoder looked past the frame.
#include <cstring>
#include <string_view>

#include "decode/decode_state.h"
#include "decode/field_readers.h"
#include "decode/frame_decoder.h"
#include "fuzz_check.h"
#include "host/tlf_msg.h"

namespace kvarn::fuzz {
namespace {

constexpr char kDc4 = 0x14;
constexpr size_t kMaxFrame = 249;
// Bytes the decoder must never write: the gaps and Extra of the record.
constexpr unsigned char kUntouched = 0x5A;
constexpr size_t kNeverWritten[] = {6, 7, 25, 42, 43, 44, 45, 46, 47};
// Enough to exercise a long list, few enough that a long input stays fast.
constexpr size_t kMaxQueued = 64;

struct Channel : DecodeState {
  int Acks = 0;
  // A leap year, so that 29 February is a valid receiver date.
  TlfSystemTime Clock{2024, 2, 4, 29, 23, 59, 59, 999};

  explicit Channel(char stale) {
    std::memset(&Msg, kUntouched, sizeof Msg);
    std::memset(Frame.Data(), stale, FrameText::Capacity());
    std::memset(Field.Data(), stale, FrameText::Capacity());
    SendAck = [this] { ++Acks; };
    UtcNow = [this] { return Clock; };
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  DecodeResult Decode(std::string_view frame, uint32_t frameNo) {
    Frame.Assign(frame);
    FrameNo = frameNo;
    return DecodeFrame(*this);
  }
};

bool SameEntry(const TPendingEntry& a, const TPendingEntry& b) {
  return std::memcmp(a.Text, b.Text, sizeof a.Text) == 0 && a.Line == b.Line && a.Account == b.Account &&
         a.FrameNo == b.FrameNo;
}

void CheckSameState(const Channel& a, const Channel& b) {
  FUZZ_CHECK(std::memcmp(&a.Msg, &b.Msg, sizeof a.Msg) == 0);
  FUZZ_CHECK(a.Pending.Kind == b.Pending.Kind);
  FUZZ_CHECK(a.Pending.LastCode.View() == b.Pending.LastCode.View());
  FUZZ_CHECK(a.Pending.SavedLine == b.Pending.SavedLine);
  FUZZ_CHECK(a.Pending.SavedAccount == b.Pending.SavedAccount);
  FUZZ_CHECK(a.Pending.FirstPlaced == b.Pending.FirstPlaced);
  FUZZ_CHECK(a.Pending.Blocks.size() == b.Pending.Blocks.size());
  for (size_t i = 0; i < a.Pending.Blocks.size(); ++i) {
    FUZZ_CHECK(SameEntry(a.Pending.Blocks[i], b.Pending.Blocks[i]));
  }
  FUZZ_CHECK(a.Acks == b.Acks);
}

void CheckUntouchedBytes(const TlfMsg& msg) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&msg);
  for (size_t at : kNeverWritten) FUZZ_CHECK(bytes[at] == kUntouched);
}

void CheckStamp(const TlfSystemTime& stamp, const TlfSystemTime& clock, char type, DecodeResult result) {
  if (stamp.wYear == kNoTime) return;
  FUZZ_CHECK(result == DecodeResult::Event);
  FUZZ_CHECK(type == '1' || type == '3' || type == '5');
  FUZZ_CHECK(stamp.wYear == clock.wYear);
  FUZZ_CHECK(stamp.wHour <= 23 && stamp.wMinute <= 59 && stamp.wSecond <= 59);
  FUZZ_CHECK(IsValidDate(stamp.wYear, stamp.wMonth, stamp.wDay));
}

// What every delivered event must look like, by frame type.
void CheckEvent(const TlfMsg& msg, char type, bool placeholder) {
  const size_t area = msg.Area[0];
  const size_t evZone = msg.EvZone[0];
  FUZZ_CHECK(area <= TLF_AREA_CAP && evZone <= TLF_EVZONE_CAP);
  FUZZ_CHECK(msg.LineNo <= 15);
  if (type == '1' || type == '3' || type == '5') {
    FUZZ_CHECK(area == 3 && evZone == 8);
  } else if (type == 'S') {
    FUZZ_CHECK(placeholder ? (area == 2 && evZone == 7 && msg.Account == 0 && msg.LineNo == 0)
                           : (area == 3 && evZone == 8));
  } else {
    FUZZ_CHECK(area == 0 && evZone == 0 && msg.RecNo == 0 && msg.LineNo == 0 && msg.Account == 0);
    FUZZ_CHECK(msg.Stamp.wYear == kNoTime);
  }
}

// Blocks already waiting stay as they were, in front; the new ones carry this
// frame's number, line and account.
void CheckQueue(const Channel& ch, const TPendingBlocks& before, uint32_t frameNo, char type, DecodeResult result) {
  const auto& blocks = ch.Pending.Blocks;
  FUZZ_CHECK(blocks.size() >= before.Blocks.size());
  for (size_t i = 0; i < before.Blocks.size(); ++i) FUZZ_CHECK(SameEntry(blocks[i], before.Blocks[i]));
  if (blocks.size() == before.Blocks.size()) return;
  FUZZ_CHECK(type == 'S' && result == DecodeResult::Event && ch.Pending.FirstPlaced);
  for (size_t i = before.Blocks.size(); i < blocks.size(); ++i) {
    FUZZ_CHECK(blocks[i].FrameNo == frameNo);
    FUZZ_CHECK(blocks[i].Line == ch.Msg.LineNo && blocks[i].Account == ch.Msg.Account);
  }
}

void DecodeOne(Channel& a, Channel& b, std::string_view frame, uint32_t frameNo) {
  const char type = frame[0];
  const TlfMsg msgBefore = a.Msg;
  const TPendingBlocks pendingBefore = a.Pending;
  const int acksBefore = a.Acks;

  const DecodeResult result = a.Decode(frame, frameNo);
  FUZZ_CHECK(b.Decode(frame, frameNo) == result);
  CheckSameState(a, b);

  FUZZ_CHECK((result == DecodeResult::Acknowledged) == (type == '0'));
  FUZZ_CHECK(a.Frame.Length() <= frame.size());
  FUZZ_CHECK(a.Pending.LastCode.Length() <= 2);
  FUZZ_CHECK(a.Acks - acksBefore == (type == '0' ? 1 : 0));
  CheckUntouchedBytes(a.Msg);
  CheckStamp(a.Msg.Stamp, a.Clock, type, result);
  CheckQueue(a, pendingBefore, frameNo, type, result);
  if (type == '0') {
    TlfMsg expected = msgBefore;
    expected.Stamp.wYear = kNoTime;
    FUZZ_CHECK(result == DecodeResult::Acknowledged && std::memcmp(&expected, &a.Msg, sizeof expected) == 0);
  }
  if (result == DecodeResult::Event) CheckEvent(a.Msg, type, type == 'S' && !a.Pending.FirstPlaced);
}

// The host takes waiting blocks now and then; here the list is simply
// emptied once it grows long, in both channels alike.
void TakeBlocks(Channel& a, Channel& b) {
  if (a.Pending.Blocks.size() <= kMaxQueued) return;
  a.Pending.Blocks.clear();
  b.Pending.Blocks.clear();
}

}  // namespace
}  // namespace kvarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kvarn::fuzz;
  std::string_view stream(reinterpret_cast<const char*>(data), size);
  Channel a(':');
  Channel b(']');
  uint32_t frameNo = 0;
  while (!stream.empty()) {
    size_t end = stream.find(kDc4);
    std::string_view frame = stream.substr(0, end);
    stream.remove_prefix(end == std::string_view::npos ? stream.size() : end + 1);
    // The reader loop reads at most 249 characters and skips empty frames.
    frame = frame.substr(0, kMaxFrame);
    if (frame.empty()) continue;
    DecodeOne(a, b, frame, ++frameNo);
    TakeBlocks(a, b);
  }
  return 0;
}
