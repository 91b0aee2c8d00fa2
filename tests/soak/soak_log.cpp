#include "soak_log.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kvarn::soak {
namespace {

// A frame the library lost from the log is skipped over by looking a few
// frames ahead; further than this, the line is taken as damaged.
constexpr size_t kLookAhead = 4;

bool EndsWithFrame(std::string_view line, const std::string& frame) {
  return line.size() > frame.size() && line.ends_with(frame) && line[line.size() - frame.size() - 1] == ' ';
}

}  // namespace

void LogChecker::Expect(int channel, const std::string& frame) {
  std::lock_guard hold(FLock);
  FExpected[static_cast<size_t>(channel)].push_back(frame);
}

void LogChecker::CheckLine(std::string_view line) {
  ++FLines;
  if (line.find_first_of("\r\n") != std::string_view::npos) {
    ++FBad;
    return;
  }
  std::lock_guard hold(FLock);
  for (auto& queue : FExpected) {
    const size_t n = std::min(queue.size(), kLookAhead);
    for (size_t j = 0; j < n; ++j) {
      if (!EndsWithFrame(line, queue[j])) continue;
      FMissing += j;
      queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(j + 1));
      return;
    }
  }
  ++FBad;
}

void LogChecker::ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) return;
  uint64_t& offset = FOffsets[name];
  in.seekg(static_cast<std::streamoff>(offset));
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  offset += data.size();
  std::string& text = FPartial[name];
  text += data;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    CheckLine(std::string_view(text).substr(start, end - start));
  }
  text.erase(0, start);
  text.shrink_to_fit();  // keeps the checker's own memory flat
}

void LogChecker::Poll() {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator("Tlflog", ec)) names.push_back(entry.path().string());
  // Periods follow each other in name order.
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) ReadFile(name);
}

void LogChecker::Finish() {
  Poll();
  for (const auto& [name, rest] : FPartial) {
    if (!rest.empty()) ++FBad;  // a line without its CR LF
  }
  std::lock_guard hold(FLock);
  for (auto& queue : FExpected) {
    FMissing += queue.size();
    queue.clear();
  }
}

}  // namespace kvarn::soak
