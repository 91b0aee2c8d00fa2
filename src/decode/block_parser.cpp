#include "decode/block_parser.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "host/tlf_msg.h"

namespace kvarn {
namespace {

// A block that begins with one of these sets the kind of the blocks behind it.
constexpr std::string_view kKindLetters = "0ENO@#AIXL&";
// Seven two-letter modifier codes run together: da ti ri id Pi ai ph. A code
// only counts where it starts on a pair boundary, so "at" or "ir" are not codes.
constexpr std::string_view kModifiers = "datiriidPiaiph";
constexpr size_t kAreaWidth = 3;
constexpr size_t kEvZoneWidth = 8;
// Longest event text in front of a "/"; at the end of the text one more fits.
constexpr size_t kCutBeforeSlash = 7;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSeparator(char c) { return c == '/' || c == ',' || c == ' '; }
bool IsEventKind(char kind) { return kind == 'E' || kind == 'N'; }

void TakeKind(FrameText& text, TPendingBlocks& pending) {
  if (text.Empty() || kKindLetters.find(text.At(1)) == std::string_view::npos) return;
  pending.Kind = text.At(1);
  pending.LastCode.Assign({});
  text.Delete(1, 1);
}

// Blocks of other kinds give no event: drop everything up to the next block.
void SkipBlock(FrameText& text) {
  size_t slash = text.Pos('/');
  if (slash == 0) {
    text.Truncate(0);
  } else {
    text.Delete(1, slash);
  }
}

bool IsModifier(std::string_view code) {
  if (code.empty()) return false;
  size_t at = kModifiers.find(code);
  return at != std::string_view::npos && at % 2 == 0;
}

// The modifier's number goes into the right end of the frame's area; its
// digits past the third and the separators behind them are dropped. The last
// character of the text is never a digit: it is left as the event text.
void TakeModifier(FrameText& text, BlockAreaText& blockArea, TPendingBlocks& pending) {
  size_t codeLength = std::min<size_t>(text.Length(), 2);
  pending.LastCode.Assign(text.Slice(1, codeLength));
  text.Delete(1, codeLength);
  size_t i = 1;
  while (i < text.Length() && IsDigit(text.At(i))) ++i;
  size_t n = std::min<size_t>(i, kAreaWidth + 1);
  for (size_t k = 1; k < n; ++k) blockArea.Data()[kAreaWidth - n + k] = text.At(k);
  while (i <= text.Length() && IsSeparator(text.At(i))) ++i;
  text.Delete(1, i - 1);
}

std::string CutEventText(FrameText& text) {
  size_t slash = text.Pos('/');
  if (slash == 0) {
    std::string event(text.Slice(1, kEvZoneWidth));
    text.Truncate(0);
    return event;
  }
  std::string event(text.Slice(1, std::min(slash - 1, kCutBeforeSlash)));
  text.Delete(1, slash);
  return event;
}

// Short event texts are spread to six characters by spaces in front of the
// third one (BA03 becomes "BA  03"), then right-aligned in the event zone.
std::string EvZoneFor(std::string event) {
  while (event.size() < 6) {
    if (event.size() < 3) {
      event.push_back(' ');
    } else {
      event.insert(2, 1, ' ');
    }
  }
  return std::string(kEvZoneWidth - event.size(), ' ') + event;
}

// The frame's first event becomes the current event; the others wait for the
// host, each with the line and account of its own frame.
void Deliver(DecodeState& state, const BlockAreaText& blockArea, std::string_view evZone) {
  TPendingBlocks& pending = state.Pending;
  if (!pending.FirstPlaced) {
    pending.FirstPlaced = true;
    pending.SavedLine = state.Msg.LineNo;
    pending.SavedAccount = state.Msg.Account;
    SetArea(state.Msg, blockArea.View());
    SetEvZone(state.Msg, evZone);
    return;
  }
  TPendingEntry entry{};
  std::memset(entry.Text, ' ', sizeof entry.Text);
  std::string_view area = blockArea.View().substr(0, kAreaWidth);
  std::memcpy(entry.Text, area.data(), area.size());
  std::memcpy(entry.Text + kAreaWidth, evZone.data(), kEvZoneWidth);
  entry.Line = pending.SavedLine;
  entry.Account = pending.SavedAccount;
  entry.FrameNo = state.FrameNo;
  pending.Blocks.push_back(entry);
}

}  // namespace

void ParseBlock(DecodeState& state, BlockAreaText& blockArea) {
  FrameText& text = state.Frame;
  if (text.Empty()) return;
  TakeKind(text, state.Pending);
  if (!IsEventKind(state.Pending.Kind)) {
    SkipBlock(text);
    return;
  }
  if (IsModifier(text.Slice(1, 2))) TakeModifier(text, blockArea, state.Pending);
  Deliver(state, blockArea, EvZoneFor(CutEventText(text)));
}

}  // namespace kvarn
