// How the tools are told to stop (Ctrl-C; on POSIX also SIGTERM and SIGHUP),
// how they sleep without missing that, and where they run.
#pragma once

#include <cstdint>
#include <string>

namespace kvarn::tools {

// Installs the handlers once; a stop request only sets a flag and wakes the
// waits on StopHandle().
void InstallStopHandlers();

bool StopRequested();

// Sleeps `ms` milliseconds, less when a stop is requested meanwhile. On
// Windows it dispatches the thread's window messages meanwhile, as a thread
// that opened the library's channels must.
void SleepOrStop(int ms);

// What a wait can include to wake on a stop: the read end of a pipe that
// turns readable (POSIX) or an event that turns signalled (Windows); -1
// before InstallStopHandlers().
intptr_t StopHandle();

// Changes the working directory; false with `error` set when it cannot.
bool ChangeDirectory(const std::string& dir, std::string& error);

}  // namespace kvarn::tools
