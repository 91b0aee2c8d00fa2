// The books of one channel in the soak run: what its receiver sent and had
// acknowledged, and what its host received. A frame and its resends are one
// entry: the receiver's copies are one report, whichever copy the library
// delivered and whichever copy its ACK answered. Deliveries are matched as they
// come, against the transmissions still open, so the books stay small however
// long the run: a transmission is settled (counted and dropped) once it is
// resolved and every event it owes has come or is known to be lost.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "kvarn_rcvr.h"
#include "soak_frames.h"

namespace kvarn::soak {

struct Counts {
  uint64_t Frames = 0;            // transmissions, retries included
  uint64_t Acked = 0;             // frames that got their ACK
  uint64_t Events = 0;            // events owed: those of acknowledged frames
  uint64_t Delivered = 0;         // owed events received, once and in order
  uint64_t Lost = 0;              // owed events never received (or skipped)
  uint64_t Duplicated = 0;        // events received again
  uint64_t Misattributed = 0;     // records that are no event of this channel
  uint64_t Misordered = 0;        // a further block before its frame's event
  uint64_t UnackedDelivered = 0;  // events of frames that got no ACK
  uint64_t WrongAcks = 0;         // a malformed frame acknowledged
  uint64_t Unanswered = 0;        // a heartbeat or receiver frame not acknowledged
  uint64_t Withdrawn = 0;         // event transmissions not acknowledged (host too late)

  Counts& operator+=(const Counts& o);
};

class Ledger {
 public:
  // The receiver: a transmission goes out (a resend of the last frame, or a
  // new one); then its outcome, and whether the receiver is done with it.
  void Sent(const Frame& frame, bool resend);
  void Resolved(bool acked, bool last);
  // The host: one record that tlf_GetMsg wrote.
  void Delivered(const TlfMsg& m);
  // After the run: whatever is still owed is lost.
  Counts Finish();

 private:
  enum class State { Pending, Acked, Unacked };
  enum Got : uint8_t { kOpen = 0, kDelivered = 1, kSkipped = 2 };
  struct Tx {
    const Frame* F;
    State S = State::Pending;
    std::vector<uint8_t> Got;
  };

  bool MatchFirst(const TlfMsg& m);
  bool MatchBlock(const TlfMsg& m);
  bool SeenBefore(const TlfMsg& m) const;
  void Settle(bool finishing);
  void Count(const Tx& tx, bool finishing);

  std::mutex FLock;
  std::deque<Frame> FFrames;  // the frames of FOpen, same order
  std::deque<Tx> FOpen;
  Counts FCounts;
};

}  // namespace kvarn::soak
