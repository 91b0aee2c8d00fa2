// Where the simulator's frames come from: frame files with printable escapes
// and traffic logs written by the library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kvarn::sim {

constexpr char kDC4 = 0x14;  // ends every frame
constexpr char kACK = 0x06;  // the host accepted the frame
constexpr char kNAK = 0x15;  // the host refused it: resend at once

// A frame is a heartbeat when it holds "@": the host acknowledges it at once.
inline bool IsHeartbeat(std::string_view frame) { return frame.find('@') != std::string_view::npos; }

// Turns one line of a frame file into frame bytes. Escapes: \xHH (two hex
// digits), \\, \t, \r, \n. Returns false with `error` naming the column of a
// bad escape.
bool ParseEscapes(std::string_view line, std::string& frame, std::string& error);

// The inverse for display: printable ASCII as is (backslash doubled), every
// other byte as \xHH. ParseEscapes(ShowFrame(f)) == f.
std::string ShowFrame(std::string_view frame);

// A frame file: one frame per line, the DC4 is added when sending. Blank
// lines and lines starting with "#" are skipped (write \x23 for a frame that
// starts with "#"); spaces are kept, a CR before the LF is dropped.
bool ParseFrameFile(std::string_view contents, std::vector<std::string>& frames, std::string& error);

// A traffic log: each line is the time text, one space, the frame, CR LF. The
// time text is hours, minutes and seconds joined by the locale's separator,
// with an am/pm designator before or after it (one space between) under a
// 12-hour locale. Lines that hold no time are reported in `warnings` and
// skipped. False when no frame was found.
bool ParseTrafficLog(std::string_view contents, std::vector<std::string>& frames,
                     std::vector<std::string>& warnings, std::string& error);

// Reads a whole file; false with `error` naming the file.
bool ReadWholeFile(const std::string& path, std::string& contents, std::string& error);

}  // namespace kvarn::sim
