#include <windows.h>

#include "sim/serial.h"

namespace kvarn::sim {
namespace {

constexpr int kBauds[] = {300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// A read waits this long for a first byte, so that every wait of the
// receiver looks at its stop between reads.
constexpr DWORD kReadSliceMs = 20;
constexpr DWORD kWriteLimitMs = 2000;

std::string Why(const std::string& what) { return what + ": error " + std::to_string(GetLastError()); }

// "COM12" is only found as "\\.\COM12"; the prefix does no harm below 10.
std::string DevicePath(const std::string& name) {
  return name.find('\\') == std::string::npos ? "\\\\.\\" + name : name;
}

bool Setup(HANDLE h, int baud) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return false;
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = FALSE;
  if (!SetCommState(h, &dcb)) return false;
  // Return at once with what is queued, else wait up to the slice for a byte.
  COMMTIMEOUTS t{MAXDWORD, MAXDWORD, kReadSliceMs, 0, kWriteLimitMs};
  return SetCommTimeouts(h, &t) != 0;
}

}  // namespace

bool IsKnownBaud(int baud) {
  for (int b : kBauds)
    if (b == baud) return true;
  return false;
}

std::string PtyUnavailable() {
  return "--pty is not available on Windows; give the COM port to send on (e.g. COM5)";
}

const char* DeviceUsage() {
  return "  DEVICE            COM port to send on (e.g. COM5 or \\\\.\\COM12)\n";
}

bool OpenDevice(const std::string& path, int baud, Line& line, std::string& error) {
  HANDLE h = CreateFileA(DevicePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = Why("cannot open " + path + " (no such port, in use, or no permission)");
    return false;
  }
  if (!Setup(h, baud)) {
    error = Why("cannot set up " + path);
    CloseHandle(h);
    return false;
  }
  PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
  line.fd = static_cast<int>(reinterpret_cast<intptr_t>(h));
  return true;
}

bool CreatePty(Line&, std::string& error) {
  error = PtyUnavailable();
  return false;
}

bool LinkPty(Line&, const std::string&, std::string& error) {
  error = PtyUnavailable();
  return false;
}

void CloseLine(Line& line) {
  if (line.fd != -1) CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(line.fd)));
  line.fd = -1;
}

}  // namespace kvarn::sim
