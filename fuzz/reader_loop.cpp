// The reader loop and the pickup, fed by an in-memory port with any byte
// stream a receiver could send: frames split at any point, DC4 anywhere,
// bursts of more than 250 bytes, a host that takes events late or not at all.
// The input is a script of steps (send bytes, take events, stall past the
// pickup time); the target works out, with the decoder itself and the pickup
// and ACK rules, what the host must receive and how many ACKs the receiver
// must get, and checks the channel against that after every step. After each
// step it waits until the worker is at an event's pickup or idle, as the
// model says it must be.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "decode/decode_state.h"
#include "decode/frame_decoder.h"
#include "fuzz_check.h"
#include "host/comm_thread.h"
#include "link/line_input.h"
#include "platform/clock.h"
#include "support/channel_probe.h"
#include "support/fake_port.h"

namespace kvarn::fuzz {
namespace {

constexpr char kDc4 = 0x14;
constexpr size_t kMaxRead = kMaxFrameRead;
// Short limits keep an input fast; the waits below allow a loaded machine.
constexpr ChannelTiming kTiming{200, 20};
constexpr uint64_t kSettleMs = 10000;
constexpr int kMaxStalls = 3;
constexpr unsigned char kBlank = 0x5A;  // never a RecNo the decoder makes
constexpr size_t kNeverWritten[] = {6, 7, 25, 42, 43, 44, 45, 46, 47};

// The worker as the host and the receiver should see it: what it has read,
// what it answers, what it hands over, decoding as the channel does.
// Copyable, so a step can be tried.
struct Model : DecodeState {
  Model() { UtcNow = platform::UtcNow; }

  size_t Acks = 0;
  bool Ready = false;
  uint32_t ReadyFrameNo = 0;
  uint32_t TakenFrameNo = 0;
  std::string Port;  // sent, not yet read
  std::string In;    // read, not yet handled
  std::string Last;  // the frame being answered
  size_t BytesRead = 0;
  uint32_t ResendWaits = 0;  // waits for the rest of a copy, since the last read

  // Runs the worker until it hands an event over (true) or has nothing to do.
  bool Run() {
    for (;;) {
      if (In.size() < kMaxRead && In.find(kDc4) == std::string::npos) {
        if (Port.find(kDc4) == std::string::npos) return false;
        ReadPort(kMaxRead);
        continue;
      }
      if (HandleFrame()) return true;
    }
  }

  void Take() {
    Ready = false;
    TakenFrameNo = ReadyFrameNo;
    AckIfLatest();
  }

  void Withdraw() {
    Ready = false;
    Drop(ReadyFrameNo);
  }

  bool BlockDeliverable() const { return !Pending.Blocks.empty() && Pending.Blocks.front().FrameNo <= TakenFrameNo; }

 private:
  // Moves up to `n` bytes, as many as the input has room for.
  size_t ReadPort(size_t n) {
    n = std::min({n, Port.size(), LineInput::kCapacity - In.size()});
    if (n == 0) return 0;
    BytesRead += n;
    ResendWaits = 0;
    In.append(Port, 0, n);
    Port.erase(0, n);
    return n;
  }

  bool HandleFrame() {
    std::string frame;
    const size_t end = In.substr(0, kMaxRead).find(kDc4);
    if (end != std::string::npos) {
      frame = In.substr(0, end);
      In.erase(0, end + 1);
    } else {  // too long: cut, the rest discarded
      frame = In.substr(0, kMaxRead - 1);
      In.clear();
      Port.clear();
    }
    if (frame.empty()) return false;
    Last = frame;
    if (frame.find('@') != std::string::npos) {
      AckIfLatest();
      return false;
    }
    ++FrameNo;
    Frame.Assign(frame);
    const DecodeResult result = DecodeFrame(*this);
    const bool event = result == DecodeResult::Event;
    if (!event) Drop(FrameNo);
    if (result == DecodeResult::Acknowledged) AckIfLatest();
    if (!event) return false;
    Ready = true;
    ReadyFrameNo = FrameNo;
    return true;
  }

  // The receiver's copies of the frame are its own; anything else means it
  // moved on. A copy still arriving is waited for, in vain here.
  void AckIfLatest() {
    if (!Drain()) return;
    const std::string copy = Last + kDc4;
    while (In.size() >= copy.size() && In.compare(0, copy.size(), copy) == 0) In.erase(0, copy.size());
    if (In.empty()) {
      ++Acks;
    } else if (In.size() <= Last.size() && Last.compare(0, In.size(), In) == 0) {
      ++ResendWaits;
    }
  }

  bool Drain() {
    for (int i = 0; i < 32; ++i) {
      const bool queued = !Port.empty();
      const size_t n = ReadPort(kMaxRead);
      if (!queued) return true;
      if (n == 0) return false;
    }
    return false;
  }

  void Drop(uint32_t frameNo) {
    std::erase_if(Pending.Blocks, [frameNo](const TPendingEntry& e) { return e.FrameNo == frameNo; });
  }
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

class Session {
 public:
  Session() : FChannel(TCommThread::Open(test::MakeFakePort(FLine), 1, kTiming)) { FUZZ_CHECK(FChannel); }

  void Send(std::string_view bytes, bool stallFirst) {
    while (FModel.Ready) stallFirst ? Stall() : TakeOne();
    FModel.Port.append(bytes);
    FLine->Send(bytes);
    FModel.Run();
    Settle();
  }

  // Takes up to `calls` events the way a polling host does.
  void Take(int calls) {
    for (int i = 0; i < calls; ++i) TakeOne();
  }

  // The host looks away for longer than the pickup time.
  void Stall() {
    if (!FModel.Ready || FStalls >= kMaxStalls) return TakeOne();
    ++FStalls;
    FUZZ_CHECK(WaitFor([&] { return !TCommThreadProbe::ReadyWith(*FChannel, FModel.ReadyFrameNo); }));
    FModel.Withdraw();
    FModel.Run();
    Settle();
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
  template <typename Pred>
  static bool WaitFor(Pred done) {
    const uint64_t deadline = platform::MonotonicMs() + kSettleMs;
    while (!done()) {
      if (platform::MonotonicMs() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
  }

  // The worker has done all the model says and sleeps on the port.
  bool IdleAs(const Model& m) const {
    return FLine->BytesRead() == m.BytesRead && FLine->WaitingSinceRead(m.ResendWaits + 1) &&
           FLine->Acks() == m.Acks;
  }

  // Waits until the worker is where the model is: at the pickup of the
  // model's event, or idle. With a pickup time this short the worker may
  // have withdrawn that event already and gone on; the model follows.
  void Settle() {
    FUZZ_CHECK(WaitFor([&] {
      if (!FModel.Ready) return IdleAs(FModel);
      bool ready = false;
      uint32_t at = 0;
      TCommThreadProbe::Handed(*FChannel, ready, at);
      if (ready && at == FModel.ReadyFrameNo) return true;
      // Past the model's event, or withdrawn it and gone idle (the same
      // look as just before its handoff, hence the try on a copy).
      Model next = FModel;
      next.Withdraw();
      const bool handed = next.Run();
      if (at > FModel.ReadyFrameNo || (!handed && IdleAs(next))) FModel = next;
      return false;
    }));
    FUZZ_CHECK(FLine->Acks() == FModel.Acks);
  }

  void TakeOne() {
    TlfMsg out = Blank();
    bool ready = false;
    uint32_t at = 0;
    const int got = TCommThreadProbe::GetMsgNoted(*FChannel, out, ready, at);
    FUZZ_CHECK(got == 0 || got == 1);
    // Every event handed over before `at` was withdrawn before this call.
    while (FModel.Ready && FModel.ReadyFrameNo < at) {
      FModel.Withdraw();
      FModel.Run();
    }
    if (ready) {
      FUZZ_CHECK(got == 1 && !IsBlankRecNo(out) && FModel.Ready && FModel.ReadyFrameNo == at);
      CheckReady(out, FModel.Msg);
      FModel.Take();
      FModel.Run();
    } else if (got == 1) {
      FUZZ_CHECK(FModel.BlockDeliverable());
      CheckBlock(out, FModel.Pending.Blocks.front());
      FModel.Pending.Blocks.pop_front();
    } else {
      const TlfMsg blank = Blank();
      FUZZ_CHECK(!FModel.BlockDeliverable() && std::memcmp(&out, &blank, sizeof out) == 0);
    }
    Settle();
  }

  std::shared_ptr<test::FakeLine> FLine = std::make_shared<test::FakeLine>();
  std::unique_ptr<TCommThread> FChannel;
  Model FModel;
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
