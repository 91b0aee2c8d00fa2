// The reader loop and the pickup, fed by an in-memory port with any byte
// stream a receiver could send: frames split at any point, DC4 anywhere,
// bursts of more than 250 bytes, a host that takes events late or not at all.
// The input is a script of steps (send bytes, take events, stall past the
// pickup time); the target works out, with the decoder itself and the pickup
// rules, what the host must receive and how many ACKs the receiver must get,
// and checks the channel against that after every step. The steps wait for
// the worker, so each frame is exactly the bytes sent since the last read.
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "decode/frame_decoder.h"
#include "fuzz_check.h"
#include "host/comm_thread.h"
#include "platform/clock.h"
#include "support/channel_probe.h"
#include "support/fake_port.h"

namespace kvarn::fuzz {
namespace {

constexpr char kDc4 = 0x14;
constexpr size_t kMaxRead = 250;
// Short limits keep an input fast; the waits below allow a loaded machine.
constexpr ChannelTiming kTiming{200, 20};
constexpr uint64_t kSettleMs = 10000;
constexpr int kMaxStalls = 3;
constexpr unsigned char kBlank = 0x5A;  // never a RecNo the decoder makes
constexpr size_t kNeverWritten[] = {6, 7, 25, 42, 43, 44, 45, 46, 47};

// The channel as the host should see it.
struct Model {
  FrameText Frame;
  FrameText Field;
  TlfMsg Msg{};
  TPendingBlocks Pending;
  size_t Acks = 0;
  DecodeContext Ctx{Frame, Field, Msg, Pending, [this] { ++Acks; }, platform::UtcNow, 0};
  uint32_t FrameNo = 0;
  bool Ready = false;
  uint32_t ReadyFrameNo = 0;
  uint32_t TakenFrameNo = 0;

  // One frame as the worker read it; true when it is handed to the host.
  bool Receive(std::string_view frame) {
    if (frame.empty()) return false;
    if (frame.find('@') != std::string_view::npos) {
      ++Acks;
      return false;
    }
    Ctx.FrameNo = ++FrameNo;
    Frame.Assign(frame);
    if (!DecodeFrame(Ctx)) {
      Drop(FrameNo);
      return false;
    }
    Ready = true;
    ReadyFrameNo = FrameNo;
    return true;
  }
  void Withdraw() {
    Ready = false;
    Drop(ReadyFrameNo);
  }
  void Drop(uint32_t frameNo) {
    std::erase_if(Pending.Blocks, [frameNo](const TPendingEntry& e) { return e.FrameNo == frameNo; });
  }
  bool BlockDeliverable() const { return !Pending.Blocks.empty() && Pending.Blocks.front().FrameNo <= TakenFrameNo; }
};

TlfMsg Blank() {
  TlfMsg m;
  std::memset(&m, kBlank, sizeof m);
  return m;
}

bool IsBlankRecNo(const TlfMsg& m) {
  return m.RecNo == Blank().RecNo;
}

void CheckShort(const unsigned char* got, std::string_view expected, size_t cap) {
  FUZZ_CHECK(got[0] == expected.size());
  FUZZ_CHECK(std::memcmp(got + 1, expected.data(), expected.size()) == 0);
  for (size_t i = 1 + expected.size(); i <= cap; ++i) FUZZ_CHECK(got[i] == kBlank);
}

void CheckUntouched(const TlfMsg& out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&out);
  for (size_t at : kNeverWritten) FUZZ_CHECK(bytes[at] == kBlank);
}

void CheckReady(const TlfMsg& out, const TlfMsg& expected) {
  FUZZ_CHECK(out.RecNo == expected.RecNo && out.LineNo == expected.LineNo && out.Account == expected.Account);
  CheckShort(out.Area, AreaOf(expected), TLF_AREA_CAP);
  CheckShort(out.EvZone, EvZoneOf(expected), TLF_EVZONE_CAP);
  // Year, day of week and milliseconds come from the PC clock at decoding.
  const TlfSystemTime& a = out.Stamp;
  const TlfSystemTime& b = expected.Stamp;
  FUZZ_CHECK((a.wYear == kNoTime) == (b.wYear == kNoTime));
  if (b.wYear != kNoTime) {
    FUZZ_CHECK(a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour && a.wMinute == b.wMinute &&
               a.wSecond == b.wSecond);
  }
  CheckUntouched(out);
}

void CheckBlock(const TlfMsg& out, const TPendingEntry& e) {
  const TlfMsg blank = Blank();
  FUZZ_CHECK(IsBlankRecNo(out) && std::memcmp(&out.Stamp, &blank.Stamp, sizeof out.Stamp) == 0);
  FUZZ_CHECK(out.LineNo == e.Line && out.Account == e.Account);
  CheckShort(out.Area, std::string_view(e.Text, TLF_AREA_CAP), TLF_AREA_CAP);
  CheckShort(out.EvZone, std::string_view(e.Text + TLF_AREA_CAP, TLF_EVZONE_CAP), TLF_EVZONE_CAP);
  CheckUntouched(out);
}

template <typename Pred>
bool WaitFor(Pred done) {
  const uint64_t deadline = platform::MonotonicMs() + kSettleMs;
  while (!done()) {
    if (platform::MonotonicMs() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

class Session {
 public:
  Session() : FChannel(TCommThread::Open(test::MakeFakePort(FLine), 1, kTiming)) { FUZZ_CHECK(FChannel); }

  void Send(std::string_view bytes, bool stallFirst) {
    if (FModel.Ready) stallFirst ? Stall() : Take(1);
    FQueued.append(bytes);
    const uint64_t before = FLine->FramesDone();
    const size_t reads = ReadSizes().size();
    FLine->Send(bytes);
    if (FQueued.find(kDc4) == std::string::npos) return;  // no frame end yet: the worker sleeps on
    // The worker reads what is queued, at most 250 bytes, and drops the rest.
    FUZZ_CHECK(WaitFor([&] { return ReadSizes().size() > reads; }));
    const size_t n = ReadSizes().back();
    FUZZ_CHECK(n == std::min(FQueued.size(), kMaxRead));
    const std::string frame = FQueued.substr(0, n - 1);
    FQueued.clear();
    const bool handed = FModel.Receive(frame);
    FUZZ_CHECK(WaitFor([&] { return FLine->FramesDone() > before || (handed && Ready()); }));
    // Handed over and withdrawn again before this thread looked.
    if (handed && FLine->FramesDone() > before) FModel.Withdraw();
    if (!FModel.Ready) FUZZ_CHECK(FLine->Acks() == FModel.Acks);
  }

  // Takes up to `calls` events the way a polling host does.
  void Take(int calls) {
    for (int i = 0; i < calls; ++i) TakeOne();
  }

  // The host looks away for longer than the pickup time.
  void Stall() {
    if (!FModel.Ready || FStalls >= kMaxStalls) return Take(1);
    ++FStalls;
    const uint64_t before = FLine->FramesDone();
    FUZZ_CHECK(WaitFor([&] { return FLine->FramesDone() > before; }));
    FUZZ_CHECK(!Ready());
    FModel.Withdraw();
    FUZZ_CHECK(FLine->Acks() == FModel.Acks);
  }

  void Finish() {
    while (FModel.Ready || FModel.BlockDeliverable()) TakeOne();
    TlfMsg out = Blank();
    FUZZ_CHECK(FChannel->GetMsg(out) == 0);
    FChannel->Close();
    FUZZ_CHECK(FLine->Closed());
    FUZZ_CHECK(FLine->Acks() == FModel.Acks);
  }

 private:
  bool Ready() { return TCommThreadProbe::Ready(*FChannel); }

  std::vector<size_t> ReadSizes() const {
    std::vector<size_t> sizes;
    for (const std::string& call : FLine->Calls()) {
      if (call.starts_with("Read ")) sizes.push_back(std::stoul(call.substr(5)));
    }
    return sizes;
  }

  void TakeOne() {
    TlfMsg out = Blank();
    const bool wasReady = FModel.Ready;
    const uint64_t before = FLine->FramesDone();
    const int got = FChannel->GetMsg(out);
    FUZZ_CHECK(got == 0 || got == 1);
    if (got == 1 && !IsBlankRecNo(out)) {
      FUZZ_CHECK(wasReady);
      CheckReady(out, FModel.Msg);
      FModel.Ready = false;
      FModel.TakenFrameNo = FModel.ReadyFrameNo;
      ++FModel.Acks;  // a taken event is acknowledged, once
      FUZZ_CHECK(WaitFor([&] { return FLine->FramesDone() > before; }));
      FUZZ_CHECK(FLine->Acks() == FModel.Acks);
      return;
    }
    if (wasReady) {
      // The pickup time ran out just before this call.
      FUZZ_CHECK(WaitFor([&] { return FLine->FramesDone() > before; }));
      FModel.Withdraw();
    }
    if (!FModel.BlockDeliverable()) {
      const TlfMsg blank = Blank();
      FUZZ_CHECK(got == 0 && std::memcmp(&out, &blank, sizeof out) == 0);
      return;
    }
    FUZZ_CHECK(got == 1);
    CheckBlock(out, FModel.Pending.Blocks.front());
    FModel.Pending.Blocks.pop_front();
  }

  std::shared_ptr<test::FakeLine> FLine = std::make_shared<test::FakeLine>();
  std::unique_ptr<TCommThread> FChannel;
  Model FModel;
  std::string FQueued;  // sent and not yet read
  int FStalls = 0;
};

}  // namespace
}  // namespace kvarn::fuzz

// Steps: a byte, then what it needs. Low two bits: 0 sends up to 63 bytes,
// 1 sends a burst of 250 to 502 bytes, 2 takes 1 to 4 events, 3 stalls.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kvarn::fuzz;
  ByteReader in(data, size);
  Session session;
  while (!in.Empty()) {
    const uint8_t step = in.Byte();
    const size_t arg = step >> 2;
    switch (step & 3) {
      case 0:
        session.Send(in.Text(arg), (arg & 1) != 0);
        break;
      case 1:
        session.Send(in.Text(250 + arg * 4), (arg & 1) != 0);
        break;
      case 2:
        session.Take(1 + static_cast<int>(arg % 4));
        break;
      default:
        session.Stall();
    }
  }
  session.Finish();
  return 0;
}
