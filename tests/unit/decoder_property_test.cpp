// Random frames, as a noisy line may deliver them: the decoder must stay
// inside the frame, always finish and answer 0 or 1. Built with the
// sanitizers, this also catches reads outside the buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>

#include "decode/block_parser.h"
#include "decode_harness.h"

namespace kvarn {
namespace {

using test::DecodeHarness;

constexpr int kIterations = 4000;
constexpr size_t kMaxFrame = 249;
constexpr char kDc4 = 0x14;
// Characters that steer the decoders, so that random frames reach deep.
constexpr std::string_view kSyntax = "[]#|/, :0123456789ABCDEFabcdefNEOAIXL&@datirPph";

class FrameGenerator {
 public:
  explicit FrameGenerator(uint32_t seed) : FRandom(seed) {}

  std::string Next() {
    switch (Pick(4)) {
      case 0:
        return Bytes(Pick(kMaxFrame + 1), false);
      case 1:
        return Join({std::string_view("0135S2").substr(Pick(6), 1), Bytes(Pick(kMaxFrame), true)});
      case 2:
        return Fixed();
      default:
        return Bracketed();
    }
  }

 private:
  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(FRandom); }

  char Byte(bool syntax) {
    if (syntax && Pick(5) != 0) return kSyntax[Pick(kSyntax.size())];
    char c = static_cast<char>(Pick(256));
    return c == kDc4 ? ' ' : c;
  }

  // Appends only: GCC 12 warns falsely about prepending string concatenation.
  static std::string Join(std::initializer_list<std::string_view> parts) {
    std::string s;
    for (std::string_view part : parts) s.append(part);
    return s;
  }

  std::string Bytes(size_t n, bool syntax) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(Byte(syntax));
    return s;
  }

  // A header and a remainder of one of the two accepted lengths.
  std::string Fixed() {
    std::string_view type = std::string_view("135").substr(Pick(3), 1);
    return Join({type, Bytes(Pick(4), true), " ", Bytes(Pick(2) ? 15 : 19, true)});
  }

  std::string Bracketed() {
    std::string s = Join({"S", Bytes(4, true), "[#", Bytes(Pick(12), true), "|", Bytes(Pick(200), true)});
    if (Pick(4) != 0) s = Join({s, "]", Bytes(Pick(20), true)});
    return s.substr(0, kMaxFrame);
  }

  std::mt19937 FRandom;
};

// Decodes `frame` with every buffer byte past the frame set to `stale`.
DecodeResult DecodeOver(DecodeHarness& h, const std::string& frame, char stale) {
  std::memset(h.Frame.Data(), stale, FrameText::Capacity());
  std::memset(h.Field.Data(), stale, FrameText::Capacity());
  return h.Decode(frame, 9);
}

void ExpectSameOutcome(const DecodeHarness& a, const DecodeHarness& b, const std::string& frame) {
  EXPECT_EQ(std::memcmp(&a.Msg, &b.Msg, sizeof a.Msg), 0) << "stale bytes read: " << frame;
  EXPECT_EQ(a.Pending.Kind, b.Pending.Kind) << frame;
  EXPECT_EQ(a.Pending.LastCode.View(), b.Pending.LastCode.View()) << frame;
  ASSERT_EQ(a.Pending.Blocks.size(), b.Pending.Blocks.size()) << frame;
  for (size_t i = 0; i < a.Pending.Blocks.size(); ++i) {
    EXPECT_EQ(test::EntryText(a.Pending.Blocks[i]), test::EntryText(b.Pending.Blocks[i])) << frame;
  }
}

void ExpectSaneRecord(const DecodeHarness& h, DecodeResult result, const std::string& frame) {
  EXPECT_EQ(result == DecodeResult::Acknowledged, frame[0] == '0') << frame;
  EXPECT_EQ(h.Acks, frame[0] == '0' ? 1 : 0) << frame;
  if (result == DecodeResult::Event) {
    EXPECT_LE(h.Msg.Area[0], TLF_AREA_CAP) << frame;
    EXPECT_LE(h.Msg.EvZone[0], TLF_EVZONE_CAP) << frame;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(&h.Msg);
  for (size_t gap : {6, 7, 25, 42, 43, 44, 45, 46, 47}) {
    EXPECT_EQ(bytes[gap], test::kUntouched) << "gap or Extra written at " << gap << ": " << frame;
  }
  if (h.Msg.Stamp.wYear != kNoTime) {
    EXPECT_TRUE(result == DecodeResult::Event && frame.size() >= 20) << frame;
  }
}

TEST(DecoderProperty, RandomFramesStayInsideAndEnd) {
  FrameGenerator generator(20260408);
  for (int n = 0; n < kIterations; ++n) {
    std::string frame = generator.Next();
    if (frame.empty()) continue;  // the reader loop never decodes an empty frame
    DecodeHarness a, b;
    DecodeResult result = DecodeOver(a, frame, ':');
    EXPECT_EQ(DecodeOver(b, frame, ']'), result) << frame;
    ExpectSaneRecord(a, result, frame);
    ExpectSameOutcome(a, b, frame);
    if (HasFailure()) break;
  }
}

// Every call consumes at least one character, whatever state a frame left.
TEST(DecoderProperty, EachBlockCallConsumesText) {
  FrameGenerator generator(77);
  const char kinds[] = {' ', 'N', 'E', 'A', 0};
  for (int n = 0; n < kIterations; ++n) {
    std::string text = generator.Next().substr(0, 1 + n % kMaxFrame);
    DecodeHarness h;
    h.Frame.Assign(text);
    h.Pending.Kind = kinds[n % 5];
    h.Pending.FirstPlaced = n % 2 == 0;
    BlockAreaText blockArea("   ");
    while (!h.Frame.Empty()) {
      size_t before = h.Frame.Length();
      ParseBlock(h, blockArea);
      ASSERT_LT(h.Frame.Length(), before) << text;
    }
    EXPECT_EQ(blockArea.Length(), 3u);
  }
}

}  // namespace
}  // namespace kvarn
