#!/usr/bin/env python3
"""The receiver-timing matrix: every receiver setting against every kind of
late host, all cells at once, each on its own pseudo-terminal.

A cell is one kvarn-sim receiver (ACK time-out, resends, whether it clears
its input before sending) sending six Contact ID frames with distinct
accounts to one channel of the library, and one host thread polling that
channel on a schedule of its own. The receiver's own report says which
frames it counted as acknowledged; the host's takes say which were
delivered. A frame acknowledged and never delivered is lost.

    scripts/ack-matrix [--build DIR] [--library PATH] [--quick] [--json FILE]
"""

import argparse
import ctypes
import json
import os
import random
import subprocess
import sys
import tempfile
import threading
import time

PICKUP_S = 7.0
GAP_S = 0.3
FRAMES = 6
TIMEOUTS = (1.0, 2.0, 4.0, 9.9)
RESENDS = (0, 1, 3)


def frame_of(account):
    return "5011 18%04XE13001001" % account


class TlfMsg(ctypes.Structure):
    _fields_ = [("RecNo", ctypes.c_int32), ("LineNo", ctypes.c_uint16), ("Gap6", ctypes.c_uint8 * 2),
                ("Account", ctypes.c_int32), ("Rest", ctypes.c_uint8 * 36)]


assert ctypes.sizeof(TlfMsg) == 48


def host_delays(kind, timeout, rng):
    """Seconds the host sleeps between polls. A receiver sends its next frame
    GAP_S after an ACK, so a host that polls every GAP_S + d seconds takes
    each event about d seconds after it became ready."""
    if kind == "at once":
        return lambda: 0.01
    if kind == "below the time-out":
        return lambda: GAP_S + 0.5 * timeout
    if kind == "between time-out and limit":
        return lambda: GAP_S + (timeout + PICKUP_S) / 2
    if kind == "past the limit":
        return lambda: GAP_S + PICKUP_S + 1.0
    return lambda: rng.uniform(0.0, 9.0)


HOST_KINDS = ("at once", "below the time-out", "between time-out and limit", "past the limit", "irregular stalls")


def cells(quick):
    out = []
    for timeout in TIMEOUTS:
        for resends in RESENDS:
            for clears in (True, False):
                for kind in HOST_KINDS:
                    if kind == "between time-out and limit" and timeout >= PICKUP_S:
                        continue  # no such delay: the time-out is past the limit
                    out.append(dict(timeout=timeout, resends=resends, clears=clears, host=kind))
    if quick:
        out = [c for c in out if c["timeout"] == 2.0 and c["resends"] in (1, 3)]
    return out


class Cell(object):
    def __init__(self, setting, port, sim, seed):
        self.setting = setting
        self.port = port
        self.sim_path = sim
        self.rng = random.Random(seed)
        self.delivered = {}
        self.outcomes = []
        self.error = None

    def start_sim(self):
        s = self.setting
        args = [self.sim_path, "--pty", "--link", "./Com%d" % self.port, "--json", "--heartbeat", "0",
                "--ack-timeout", str(s["timeout"]), "--retries", str(s["resends"]), "--gap", str(GAP_S)]
        if not s["clears"]:
            args.append("--no-clear")
        for i in range(FRAMES):
            args += ["--frame", frame_of(0x100 * self.port + i + 1)]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    def run_host(self, lib):
        try:
            self._host(lib)
        except Exception as e:  # reported in the table
            self.error = str(e)

    def _host(self, lib):
        link = "Com%d" % self.port
        for _ in range(200):
            if os.path.exists(link):
                break
            time.sleep(0.05)
        handle = lib.tlf_InitComm(self.port, 1)
        if not handle:
            raise RuntimeError("cannot open %s" % link)
        delay = host_delays(self.setting["host"], self.setting["timeout"], self.rng)
        done_at = None
        msg = TlfMsg()
        while done_at is None or time.monotonic() < done_at:
            while lib.tlf_GetMsg(handle, ctypes.byref(msg)):
                acct = msg.Account & 0xFFFFFFFF
                self.delivered[acct] = self.delivered.get(acct, 0) + 1
            if done_at is None and self.proc.poll() is not None:
                done_at = time.monotonic() + PICKUP_S + 1.0  # events handed over before the end
            time.sleep(delay() if done_at is None else 0.05)
        lib.tlf_CloseComm(handle)
        for line in self.proc.stdout.read().splitlines():
            rec = json.loads(line)
            if rec.get("type") == "frame" and not rec.get("heartbeat"):
                self.outcomes.append(rec)

    def figures(self):
        acked = {int(o["frame"][7:11], 16) for o in self.outcomes if o["outcome"] == "acknowledged"}
        sent = {int(o["frame"][7:11], 16) for o in self.outcomes}
        got = self.delivered
        return dict(sent=len(sent), acked=len(acked), delivered=sum(1 for a in sent if got.get(a)),
                    lost=sum(1 for a in acked if not got.get(a)),
                    duplicated=sum(max(0, got.get(a, 0) - 1) for a in sent),
                    unacked=sum(1 for a in sent if got.get(a) and a not in acked),
                    foreign=sum(n for a, n in got.items() if a not in sent))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--library")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--json")
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    sim = os.path.join(build, "tools", "kvarn-sim")
    lib = ctypes.CDLL(os.path.abspath(a.library or os.path.join(build, "libKvarn_Rcvr.so")))
    lib.tlf_InitComm.argtypes = [ctypes.c_int, ctypes.c_int]
    lib.tlf_InitComm.restype = ctypes.c_void_p
    lib.tlf_GetMsg.argtypes = [ctypes.c_void_p, ctypes.POINTER(TlfMsg)]
    lib.tlf_CloseComm.argtypes = [ctypes.c_void_p]

    os.chdir(tempfile.mkdtemp(prefix="kvarn-matrix."))
    settings = cells(a.quick)
    all_cells = [Cell(s, i + 1, sim, a.seed * 1000 + i) for i, s in enumerate(settings)]
    started = time.monotonic()
    for c in all_cells:
        c.start_sim()
    threads = [threading.Thread(target=c.run_host, args=(lib,)) for c in all_cells]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    rows = []
    print("| time-out | resends | clears input | host takes | sent | acked | delivered | lost | duplicated | "
          "delivered, not acked |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    totals = dict(lost=0, duplicated=0, errors=0)
    for c in all_cells:
        f = c.figures()
        s = c.setting
        rows.append(dict(s, **f, error=c.error))
        totals["lost"] += f["lost"]
        totals["duplicated"] += f["duplicated"]
        totals["errors"] += 1 if (c.error or f["foreign"] or f["sent"] != FRAMES) else 0
        note = " (%s)" % c.error if c.error else ""
        print("| %.1f s | %d | %s | %s | %d | %d | %d | %d | %d | %d |%s" % (
            s["timeout"], s["resends"], "yes" if s["clears"] else "no", s["host"], f["sent"], f["acked"],
            f["delivered"], f["lost"], f["duplicated"], f["unacked"], note))
    print("matrix: cells=%d lost=%d duplicated=%d errors=%d seconds=%.0f" % (
        len(all_cells), totals["lost"], totals["duplicated"], totals["errors"], time.monotonic() - started))
    if a.json:
        with open(a.json, "w") as f:
            json.dump(rows, f, indent=1)
    return 1 if totals["lost"] or totals["errors"] else 0


if __name__ == "__main__":
    sys.exit(main())
