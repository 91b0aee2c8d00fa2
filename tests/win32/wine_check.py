#!/usr/bin/env python3
"""Checks under Wine that take more than one run of the Win32 test program.

COM ports: maps COM7 and COM12 to one pseudo-terminal through Wine's registry, runs the
COM port tests of the Win32 test program against them, and reads the line
settings from the Linux side while a channel is open. COM9 stays unmapped: a
missing port, for which the settings file must not even be opened. COM1 is
never touched (Wine ties it to the system console).

The receiver simulator: kvarn-sim.exe on COM7 sets the line up, sends its
frames ended by DC4, takes the ACK written on the Linux side and resends and
gives up the frame that none answers. The monitor: kvarn-monitor.exe on COM7
prints the event of a frame written on the Linux side and the library ACKs
it (which needs the monitor to serve the library's window while it waits).

Regional settings: the traffic log's time text under locales that differ in
separator, leading zero, clock and designator position (Wine takes the
user's locale from LC_ALL).

Needs the Wine environment of scripts/lib.sh (kvarn_wine_env): WINEPREFIX
and a server. Restarts that server twice and stops it at the end.

Usage: wine_check.py <Win32 build directory>
"""
import ctypes
import os
import pty
import select
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty

PORT, HIGH_PORT, MISSING_PORT = 7, 12, 9
PORTS_KEY = r"HKLM\Software\Wine\Ports"
QUEUED_INPUT = b"abcd\x14"  # as com_port_test.cpp expects it

RN_INI = """; receivers for the COM port check
[RecNr3]
Baud = 9600
DataBit=8
StopBit=2
FlowCtrl=1

[RecNr4]
Baud=$4B00
DataBit=8
StopBit=0
FlowCtrl="2"
"""

# What each receiver's section must make of the line. A pseudo-terminal
# keeps 8 data bits and no parity whatever is set, so those are not checked.
EXPECTED = {
    3: dict(speed=termios.B9600, cstopb=True, ixon=True, ixoff=True, crtscts=False),
    4: dict(speed=termios.B19200, cstopb=False, ixon=False, ixoff=False, crtscts=True),
}

failures = []


def fail(text):
    failures.append(text)
    print("FAIL:", text)


class Result:
    def __init__(self, returncode, stdout):
        self.returncode, self.stdout = returncode, stdout


def run(args, **kw):
    """Runs a program, its output going to a file: a Wine server that it
    starts keeps any pipe open for as long as it lives."""
    with tempfile.TemporaryFile(mode="w+") as out:
        rc = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                            timeout=120, **kw).returncode
        out.seek(0)
        return Result(rc, out.read())


def wine_reg(*args):
    return run(["wine", "reg"] + list(args))


def restart_server():
    run(["wineserver", "-k"])
    run(["wineserver", "-w"])
    run(["wineserver", "-p"])
    run(["wine", "cmd", "/c", "exit"])


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class OpenWatch:
    """Names of the files opened in one directory (inotify, IN_OPEN)."""

    IN_OPEN = 0x20

    def __init__(self, directory):
        self.libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK)
        if self.fd < 0 or self.libc.inotify_add_watch(self.fd, directory.encode(), self.IN_OPEN) < 0:
            raise OSError(ctypes.get_errno(), "inotify")

    def opened(self):
        names = set()
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return names
            pos = 0
            while pos < len(data):
                _, _, _, length = struct.unpack_from("iIII", data, pos)
                name = data[pos + 16:pos + 16 + length].rstrip(b"\0").decode()
                names.add(name.lower())
                pos += 16 + length

    def close(self):
        os.close(self.fd)


def gtest(exe, test_filter, env_extra, cwd=None):
    """Runs tests of the Win32 program; they must pass, and not be skipped."""
    env = dict(os.environ, **{k: str(v) for k, v in env_extra.items()})
    r = run(["wine", exe, "--gtest_filter=" + test_filter], env=env, cwd=cwd)
    ok = r.returncode == 0 and "[  PASSED  ] " in r.stdout and "SKIPPED" not in r.stdout
    if ok:
        print(f"{test_filter} {env_extra}: passed")
    else:
        fail(f"{test_filter}: exit {r.returncode}\n{r.stdout[-3000:]}")
    return ok


def finish(proc, log, wait_s=0):
    """Waits up to `wait_s` for the program, kills it if it still runs, and
    returns what it wrote to `log`, which is closed."""
    try:
        proc.wait(timeout=wait_s)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    log.seek(0)
    out = log.read()
    log.close()
    return out


def read_available(fd, wait_s):
    out = b""
    end = time.monotonic() + wait_s
    while time.monotonic() < end:
        ready, _, _ = select.select([fd], [], [], max(0.0, end - time.monotonic()))
        if not ready:
            break
        out += os.read(fd, 1024)
    return out


def check_mapping(prefix, slave_path):
    for port in (PORT, HIGH_PORT):
        r = wine_reg("query", PORTS_KEY, "/v", f"COM{port}")
        if slave_path not in r.stdout:
            fail(f"COM{port} is not mapped to {slave_path}: {r.stdout}")
        link = os.path.join(prefix, "dosdevices", f"com{port}")
        if not os.path.islink(link) or os.readlink(link) != slave_path:
            fail(f"{link} does not lead to {slave_path}")
    if wine_reg("query", PORTS_KEY, "/v", f"COM{MISSING_PORT}").returncode == 0:
        fail(f"COM{MISSING_PORT} is mapped")
    if os.path.lexists(os.path.join(prefix, "dosdevices", f"com{MISSING_PORT}")):
        fail(f"COM{MISSING_PORT} exists in the prefix")


def line_settings(master):
    iflag, _, cflag, _, _, ospeed, _ = termios.tcgetattr(master)
    return dict(speed=ospeed, cstopb=bool(cflag & termios.CSTOPB), ixon=bool(iflag & termios.IXON),
                ixoff=bool(iflag & termios.IXOFF), crtscts=bool(cflag & termios.CRTSCTS))


def check_channels(exe, master, scratch):
    """Each receiver's channel while it is open, seen from the Linux side."""
    sync = os.path.join(scratch, "sync")
    os.mkdir(sync)
    env = dict(os.environ, KVARN_TEST_COM_PORT=str(PORT), KVARN_TEST_SYNC_DIR=windows_path(sync),
               KVARN_TEST_RECEIVERS=",".join(str(r) for r in EXPECTED))
    log = tempfile.TemporaryFile(mode="w+")
    proc = subprocess.Popen(["wine", exe, "--gtest_filter=ComPort.ChannelOpens*"], env=env, cwd=scratch,
                            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    try:
        for receiver, want in EXPECTED.items():
            opened = os.path.join(sync, f"open-{receiver}")
            end = time.monotonic() + 60
            while not os.path.exists(opened) and proc.poll() is None and time.monotonic() < end:
                time.sleep(0.02)
            if not os.path.exists(opened):
                fail(f"receiver {receiver}: the channel did not open")
                break
            got = line_settings(master)
            print(f"receiver {receiver}: {got}")
            if got != want:
                fail(f"receiver {receiver}: line settings {got}, want {want}")
            open(os.path.join(sync, f"checked-{receiver}"), "w").close()
        proc.wait(timeout=120)
    finally:
        out = finish(proc, log)
    if proc.returncode != 0 or "[  PASSED  ] 1 test" not in out or "SKIPPED" in out:
        fail(f"ComPort.ChannelOpens*: exit {proc.returncode}\n{out[-3000:]}")


def check_stalled_line(exe, master, slave):
    """ACKs that XOFF holds back: the port gives up on them rather than block."""
    attrs = termios.tcgetattr(slave)
    attrs[0] |= termios.IXON | termios.IXOFF
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    os.write(master, b"\x13")  # XOFF: the line stops before the program starts
    gtest(exe, "ComPortCalls.AckHeld*", dict(KVARN_TEST_COM_PORT=PORT, KVARN_TEST_LINE_STOPPED=1))
    os.write(master, b"\x11")  # XON
    late = read_available(master, 1.0)
    if late:
        fail(f"ACKs given up on went out after all: {late!r}")
    tty.setraw(slave)


SIM_FRAMES = [b"5011 181234E13001001", b"5011 181234R13001001"]


def check_simulator(sim, master):
    """kvarn-sim.exe against the Linux end: the first frame is ACKed, the
    second never, so it is sent twice and given up."""
    args = ["wine", sim, f"COM{PORT}", "--baud", "19200", "--ack-timeout", "0.5", "--retries", "1",
            "--gap", "0", "--heartbeat", "0", "--quiet", "--json"]
    for frame in SIM_FRAMES:
        args += ["--frame", frame.decode()]
    log = tempfile.TemporaryFile(mode="w+")
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    seen, buf, settings = [], b"", None
    end = time.monotonic() + 20
    while proc.poll() is None and time.monotonic() < end:
        buf += read_available(master, 0.1)
        while b"\x14" in buf:
            frame, buf = buf.split(b"\x14", 1)
            if not seen:
                settings = line_settings(master)
                os.write(master, b"\x06")
            seen.append(frame)
    out = finish(proc, log)
    want = dict(speed=termios.B19200, cstopb=False, ixon=False, ixoff=False, crtscts=False)
    if settings != want:
        fail(f"kvarn-sim.exe line settings {settings}, want {want}")
    if seen != [SIM_FRAMES[0], SIM_FRAMES[1], SIM_FRAMES[1]]:
        fail(f"kvarn-sim.exe sent {seen!r}")
    summary = '"frames":2,"acknowledged":1,"resent":1,"resends":1,"given_up":1'
    if proc.returncode != 0 or summary not in out:
        fail(f"kvarn-sim.exe: exit {proc.returncode}\n{out[-2000:]}")
    else:
        print("kvarn-sim.exe: frames, ACK, resend and give-up as expected")


# The DLL under Wine end to end through the Windows monitor: each frame form,
# whether the library answers it, and the events the monitor prints for it.
MONITOR_FRAMES = [  # the monitor stops after the last event: frames without one come first
    (b"1010           @    ", True, []),  # heartbeat: answered, never an event
    (b"0", True, []),  # the receiver's own frame
    (b"5011 1812", False, []),  # rejected: no answer
    (b"5011 181234E13001001", True, ['event "E130 001"']),
    (b"1012 0012341E1300100", True, ["line 2"]),
    (b"3013 0012AB130100100", True, ["acct 2AB130"]),
    (b"2xyz", True, ["rec 00"]),
    (b"S0111[#1234|Nri12/BA03/BR04]", True, ['event "  BA  03"', 'event "  BR  04"']),
]


def read_answer(fd, wait_s):
    """What the library wrote within `wait_s`, ending early after an ACK."""
    out, end = b"", time.monotonic() + wait_s
    while b"\x06" not in out and time.monotonic() < end:
        ready, _, _ = select.select([fd], [], [], max(0.0, end - time.monotonic()))
        if ready:
            out += os.read(fd, 1024)
    return out


def monitor_log(work):
    names = os.listdir(os.path.join(work, "Tlflog"))
    return b"".join(open(os.path.join(work, "Tlflog", n), "rb").read() for n in names)


def check_monitor(monitor, master, scratch):
    work = os.path.join(scratch, "monitor")
    os.makedirs(os.path.join(work, "Tlflog"))
    with open(os.path.join(work, "Rn.ini"), "w") as f:
        f.write("[RecNr1]\r\nBaud=9600\r\nDataBit=8\r\nParity=0\r\nStopBit=0\r\nFlowCtrl=0\r\n")
    log = tempfile.TemporaryFile(mode="w+")
    events = sum(len(e) for _, _, e in MONITOR_FRAMES)
    proc = subprocess.Popen(["wine", monitor, f"{PORT}:1", "--events", str(events), "--seconds", "30"], cwd=work,
                            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    end = time.monotonic() + 15
    while proc.poll() is None and time.monotonic() < end:
        log.seek(0)
        if "listening on" in log.read():
            break
        time.sleep(0.05)
    for frame, answered, _ in MONITOR_FRAMES:
        os.write(master, frame + b"\x14")
        answer = read_answer(master, 3.0 if answered else 0.5)
        if answer != (b"\x06" if answered else b""):
            fail(f"kvarn-monitor.exe: {frame!r} answered {answer!r}")
    out = finish(proc, log, 10)
    lines = [line for line in out.splitlines() if " rec " in line]
    want = [text for _, _, e in MONITOR_FRAMES for text in e]
    printed = len(lines) == len(want) and all(w in line for w, line in zip(want, lines))
    traffic = monitor_log(work)
    logged = all(f in traffic for f, _, _ in MONITOR_FRAMES if b"@" not in f) and b"@" not in traffic
    if proc.returncode != 0 or not printed or not logged:
        fail(f"kvarn-monitor.exe: exit {proc.returncode}, events {lines}, log {traffic!r}\n{out[-2000:]}")
    else:
        print(f"kvarn-monitor.exe: {len(MONITOR_FRAMES)} frame forms answered, {events} events printed, log kept")


def check_locales(exe):
    for locale in ("en_US.UTF-8", "de_DE.UTF-8", "fi_FI.UTF-8", "ko_KR.UTF-8"):
        gtest(exe, "RegionalTime.*", dict(LC_ALL=locale))


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    build = os.path.abspath(sys.argv[1])
    exe = os.path.join(build, "tests", "kvarn_win32_tests.exe")
    prefix = os.environ.get("WINEPREFIX")
    if not prefix or not os.path.exists(exe):
        print("needs WINEPREFIX (scripts/lib.sh kvarn_wine_env) and", exe)
        return 2

    master, slave = pty.openpty()
    tty.setraw(slave)  # no line editing or echo between the two ends
    slave_path = os.ttyname(slave)
    scratch = tempfile.mkdtemp(prefix="wine-check-", dir=build)
    watch = OpenWatch(scratch)
    try:
        for port in (PORT, HIGH_PORT, MISSING_PORT):  # links left by an interrupted run
            link = os.path.join(prefix, "dosdevices", f"com{port}")
            if os.path.islink(link):
                os.unlink(link)
        for port in (PORT, HIGH_PORT):
            wine_reg("add", PORTS_KEY, "/v", f"COM{port}", "/t", "REG_SZ", "/d", slave_path, "/f")
        wine_reg("delete", PORTS_KEY, "/v", f"COM{MISSING_PORT}", "/f")
        restart_server()  # Wine links the mapped ports when its server starts
        check_mapping(prefix, slave_path)

        # From COM10 on only the device namespace reaches a port.
        for port in (PORT, HIGH_PORT):
            os.write(master, QUEUED_INPUT)
            gtest(exe, "ComPortCalls.QueueRead*", dict(KVARN_TEST_COM_PORT=port, KVARN_TEST_QUEUED_INPUT=1))
            acks = read_available(master, 2.0)
            if acks != b"\x06\x06":
                fail(f"COM{port} wrote {acks!r}, want two ACKs")
        check_stalled_line(exe, master, slave)
        check_simulator(os.path.join(build, "kvarn-sim.exe"), master)

        with open(os.path.join(scratch, "Rn.ini"), "w") as f:
            f.write(RN_INI.replace("\n", "\r\n"))
        watch.opened()
        check_channels(exe, master, scratch)
        if "rn.ini" not in watch.opened():
            fail("opening a channel did not read Rn.ini")
        gtest(exe, "ComPort.MissingPort*", dict(KVARN_TEST_MISSING_PORT=MISSING_PORT), cwd=scratch)
        if "rn.ini" in watch.opened():
            fail(f"tlf_InitComm({MISSING_PORT}, 1) opened Rn.ini")
        check_monitor(os.path.join(build, "kvarn-monitor.exe"), master, scratch)
        gtest(exe, "DllExports.ChannelCalleesRemoveTheirArguments", dict(KVARN_TEST_COM_PORT=PORT), cwd=scratch)
        gtest(exe, "DllUnload.*", dict(KVARN_TEST_COM_PORT=PORT), cwd=scratch)
        check_locales(exe)
    finally:
        watch.close()
        for port in (PORT, HIGH_PORT):
            wine_reg("delete", PORTS_KEY, "/v", f"COM{port}", "/f")
        # The server lets go of the slave before the master closes.
        run(["wineserver", "-k"])
        run(["wineserver", "-w"])
        for port in (PORT, HIGH_PORT):
            link = os.path.join(prefix, "dosdevices", f"com{port}")
            if os.path.islink(link) and os.readlink(link) == slave_path:
                os.unlink(link)
        os.close(slave)
        os.close(master)
        subprocess.run(["rm", "-rf", scratch])

    print("Wine checks:", "failed" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
