#include "soak_ledger.h"

#include <algorithm>

namespace kvarn::soak {

Counts& Counts::operator+=(const Counts& o) {
  Frames += o.Frames;
  Acked += o.Acked;
  Events += o.Events;
  Delivered += o.Delivered;
  Lost += o.Lost;
  Duplicated += o.Duplicated;
  Misattributed += o.Misattributed;
  Misordered += o.Misordered;
  UnackedDelivered += o.UnackedDelivered;
  WrongAcks += o.WrongAcks;
  Unanswered += o.Unanswered;
  Withdrawn += o.Withdrawn;
  return *this;
}

void Ledger::Sent(const Frame& frame, bool resend) {
  std::lock_guard hold(FLock);
  ++FCounts.Frames;
  if (resend) return;
  FFrames.push_back(frame);
  FOpen.push_back(Tx{&FFrames.back(), State::Pending, std::vector<uint8_t>(frame.Events.size(), kOpen)});
}

void Ledger::Resolved(bool acked, bool last) {
  std::lock_guard hold(FLock);
  Tx& tx = FOpen.back();
  const FrameKind kind = tx.F->Kind;
  if (!acked && kind == FrameKind::Event) ++FCounts.Withdrawn;
  if (!acked && !last) return;  // resent: still open
  tx.S = acked ? State::Acked : State::Unacked;
  if (acked) ++FCounts.Acked;
  if (acked && kind == FrameKind::Malformed) ++FCounts.WrongAcks;
  if (!acked && (kind == FrameKind::Heartbeat || kind == FrameKind::Internal)) ++FCounts.Unanswered;
  Settle(false);
}

// The host's record of the ready path is the first event of the oldest open
// frame that still owes it. Anything in front of a later match was skipped.
bool Ledger::MatchFirst(const TlfMsg& m) {
  std::vector<Tx*> skipped;
  for (Tx& tx : FOpen) {
    if (tx.S == State::Unacked || tx.Got.empty() || tx.Got[0] != kOpen) continue;
    if (!Matches(tx.F->Events[0], m)) {
      skipped.push_back(&tx);
      continue;
    }
    tx.Got[0] = kDelivered;
    for (Tx* s : skipped) std::fill(s->Got.begin(), s->Got.end(), kSkipped);
    return true;
  }
  return false;
}

// Further blocks come in frame order, each after its frame's own event.
bool Ledger::MatchBlock(const TlfMsg& m) {
  std::vector<uint8_t*> skipped;
  for (Tx& tx : FOpen) {
    if (tx.S == State::Unacked) continue;
    for (size_t i = 1; i < tx.Got.size(); ++i) {
      if (tx.Got[i] != kOpen) continue;
      if (!Matches(tx.F->Events[i], m)) {
        skipped.push_back(&tx.Got[i]);
        continue;
      }
      if (tx.Got[0] != kDelivered) ++FCounts.Misordered;
      tx.Got[i] = kDelivered;
      for (uint8_t* s : skipped) *s = kSkipped;
      return true;
    }
  }
  return false;
}

bool Ledger::SeenBefore(const TlfMsg& m) const {
  for (const Tx& tx : FOpen) {
    for (size_t i = 0; i < tx.Got.size(); ++i) {
      if (tx.Got[i] == kDelivered && Matches(tx.F->Events[i], m)) return true;
    }
  }
  return false;
}

void Ledger::Delivered(const TlfMsg& m) {
  std::lock_guard hold(FLock);
  const bool ready = m.RecNo != kUnwritten;
  if (ready ? MatchFirst(m) : MatchBlock(m)) {
    Settle(false);
  } else if (SeenBefore(m)) {
    ++FCounts.Duplicated;
  } else {
    ++FCounts.Misattributed;
  }
}

void Ledger::Count(const Tx& tx, bool finishing) {
  const auto delivered = static_cast<uint64_t>(std::count(tx.Got.begin(), tx.Got.end(), kDelivered));
  if (tx.S == State::Unacked || (finishing && tx.S == State::Pending)) {
    FCounts.UnackedDelivered += delivered;
    return;
  }
  FCounts.Events += tx.Got.size();
  FCounts.Delivered += delivered;
  FCounts.Lost += tx.Got.size() - delivered;
}

// Drops settled transmissions from the front, counting them.
void Ledger::Settle(bool finishing) {
  while (!FOpen.empty()) {
    const Tx& tx = FOpen.front();
    const bool owing = std::find(tx.Got.begin(), tx.Got.end(), kOpen) != tx.Got.end();
    if (!finishing && (tx.S == State::Pending || (tx.S == State::Acked && owing))) return;
    Count(tx, finishing);
    FOpen.pop_front();
    FFrames.pop_front();
  }
}

Counts Ledger::Finish() {
  std::lock_guard hold(FLock);
  Settle(true);
  return FCounts;
}

}  // namespace kvarn::soak
