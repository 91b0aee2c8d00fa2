// Reads the traffic log while the soak runs and checks that every line is
// whole: CR LF at its end, nothing cut into it, and ending in the very frame
// that its channel sent, in the order the channel sent them.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kvarn::soak {

class LogChecker {
 public:
  explicit LogChecker(int channels) : FExpected(static_cast<size_t>(channels)) {}

  // A receiver is about to send a frame that the library logs.
  void Expect(int channel, const std::string& frame);
  // Reads what was appended to the log files since the last call.
  void Poll();
  // After the run: frames that never showed up count as missing.
  void Finish();

  uint64_t Lines() const { return FLines; }
  uint64_t Bad() const { return FBad; }
  uint64_t Missing() const { return FMissing; }

 private:
  void ReadFile(const std::string& name);
  void CheckLine(std::string_view line);

  std::mutex FLock;  // FExpected: receivers add, the checker takes
  std::vector<std::deque<std::string>> FExpected;
  std::map<std::string, uint64_t> FOffsets;
  std::map<std::string, std::string> FPartial;
  uint64_t FLines = 0;
  uint64_t FBad = 0;
  uint64_t FMissing = 0;
};

}  // namespace kvarn::soak
