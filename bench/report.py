#!/usr/bin/env python3
"""Turns the raw benchmark output into the table of figures, each next to the
baseline it is measured against, and optionally into JSON.

  report.py [--mode M] [--json FILE] DECODE.json LINE.json

DECODE.json is Google Benchmark's JSON output of kvarn_bench_decode, LINE.json
what kvarn_bench_line wrote. Exit status 1 when a benchmark reported an error
or a figure is missing; a figure that misses its target is only marked.
"""
import argparse
import json
import math
import os
import platform
import sys

LINE_BAUD = 115200
BITS_PER_CHAR = 10  # start bit, 8 data bits, stop bit
WAKEUPS_PER_MIN = 60 / 2.0  # the 2000 ms wait

FORM_TITLES = {
    "receiver_0": "'0' receiver frame",
    "contact_id_5": "'5' Contact ID",
    "contact_id_5_time": "'5' Contact ID + time",
    "type_1": "'1'",
    "type_1_time": "'1' + time",
    "type_3": "'3'",
    "bracketed_1_block": "'S' bracketed, 1 block",
    "bracketed_long": "'S' bracketed, long",
    "unknown_type": "other first character",
}


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release()}


# A figure whose baseline is a physical limit of it: a rate can never beat the
# bare line's ("at most"), a latency or cost that includes the baseline's own
# work can never undercut it ("at least"). Beating it is a measuring fault.
AT_MOST, AT_LEAST = "at most", "at least"


def figure(name, value, unit, baseline=None, baseline_of=None, target=None, ok=None, bound=None):
    ratio = None
    if baseline not in (None, 0) and value is not None:
        ratio = value / baseline
    fault = None
    if bound is not None and ratio is not None:
        fault = ratio > 1 if bound == AT_MOST else ratio < 1
    return {"name": name, "value": value, "unit": unit, "baseline": baseline,
            "baseline_of": baseline_of, "ratio": ratio, "target": target, "pass": ok,
            "bound": bound, "fault": fault}


def decode_figures(data, errors):
    runs = {}
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            errors.append("decode: %s: %s" % (b.get("name"), b.get("error_message")))
            continue
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        runs[b.get("run_name", b["name"])] = (b["cpu_time"] * scale, b.get("frame_chars"))
    figs = []
    for form, title in FORM_TITLES.items():
        dec, cpy = runs.get("decode/" + form), runs.get("copy/" + form)
        if not dec or not cpy:
            errors.append("decode: no result for " + form)
            continue
        chars = int(dec[1])
        line_ns = (chars + 1) * BITS_PER_CHAR / LINE_BAUD * 1e9  # the DC4 too
        share = dec[0] / line_ns
        figs.append(figure(
            "decode %s (%d chars)" % (title, chars), dec[0], "ns", cpy[0], "copying the frame",
            "< 1%% of its %.0f us on the line: %.4f%%" % (line_ns / 1e3, share * 100), share < 0.01,
            AT_LEAST))
    return figs


def line_figures(data, errors):
    v = {x["name"]: x["value"] for x in data.get("values", [])}

    def get(name):
        value = v.get(name)
        if value is None or (isinstance(value, float) and math.isnan(value)):
            errors.append("line: no figure " + name)
            return None
        return value

    figs = []

    def ratio_target(name, key, unit, base_key, base_of, limit=None, at_least=False, bound=None):
        value, base = get(key), get(base_key)
        target = ok = None
        if limit is not None and value is not None and base:
            r = value / base
            ok = r >= limit if at_least else r <= limit
            target = ("ratio >= %g" if at_least else "ratio <= %g") % limit
        figs.append(figure(name, value, unit, base, base_of, target, ok, bound))

    raw50, raw99 = "raw pty round trip, median", "raw pty round trip, p99"
    ratio_target("DC4 -> event, median", "latency.dc4_to_event.p50", "us", "latency.raw_rtt.p50", raw50, 2)
    ratio_target("DC4 -> event, p99", "latency.dc4_to_event.p99", "us", "latency.raw_rtt.p99", raw99)
    ratio_target("take -> ACK, median", "latency.take_to_ack.p50", "us", "latency.raw_rtt.p50", raw50, 2)
    ratio_target("take -> ACK, p99", "latency.take_to_ack.p99", "us", "latency.raw_rtt.p99", raw99)
    ratio_target("DC4 -> ACK (frame cycle), median", "latency.dc4_to_ack.p50", "us", "latency.raw_rtt.p50", raw50,
                 bound=AT_LEAST)
    figs.append(figure("worker sleeps per frame", get("latency.worker_sleeps"), "", 2,
                       "one wait for the frame, one for the take"))
    limit_of = "raw round trips/s, same kind of pty"
    ratio_target("1 channel stop-and-wait, log on", "throughput.log_on", "frames/s", "throughput.raw_limit",
                 limit_of, 0.5, at_least=True, bound=AT_MOST)
    ratio_target("1 channel stop-and-wait, log off", "throughput.log_off", "frames/s", "throughput.raw_limit",
                 limit_of, bound=AT_MOST)
    figs.extend(cycle_figures(v))
    sim = data.get("simulator")
    if sim is not None:
        if sim.get("acknowledged") != sim.get("frames"):
            errors.append("simulator: not every frame was acknowledged")
        else:
            ratio_target("1 channel stop-and-wait, kvarn-sim as the receiver", "sim.frames", "frames/s",
                         "sim.raw_limit", "raw round trips/s, just before and after it", bound=AT_MOST)
    busy_n = int(get("busy.channels") or 0)
    busy = "%d busy channels" % busy_n
    ratio_target(busy + ", aggregate", "busy.frames", "frames/s", "busy.raw_round_trips",
                 "%d raw lines at once, round trips/s" % busy_n, bound=AT_MOST)
    ratio_target(busy + ", worst p99 DC4 -> ACK", "busy.worst_p99", "us", "busy.raw_worst_p99",
                 "%d raw lines at once, worst p99" % busy_n)
    ratio_target(busy + ", worst p99 DC4 -> event", "busy.worst_p99_dc4_to_event", "us", "busy.raw_worst_p99",
                 "%d raw lines at once, worst p99" % busy_n)
    idle = "%d idle channels" % int(get("idle.channels") or 0)
    figs.append(figure(idle + ", CPU time (all)", get("idle.cpu_per_minute"), "ms/min"))
    wake = get("idle.wakeups_per_channel")
    figs.append(figure(idle + ", wake-ups per channel", wake, "1/min", WAKEUPS_PER_MIN,
                       "one per 2000 ms wait", "ratio <= 1.05",
                       None if wake is None else wake <= WAKEUPS_PER_MIN * 1.05))
    figs.append(figure(idle + ", wake-ups of the worst channel", get("idle.wakeups_worst_channel"), "1/min",
                       WAKEUPS_PER_MIN, "one per 2000 ms wait"))
    figs.append(figure("resident memory per open channel", get("idle.rss_per_channel"), "KiB"))
    return figs


# The worker's system calls in one frame cycle, each timed alone in the same
# run; the ratio is its share of one raw round trip.
COSTS = [
    ("cost.poll_idle", "status query: poll, nothing waiting"),
    ("cost.read_frame", "read of the frame from the pty"),
    ("cost.purge", "purge: tcflush"),
    ("cost.log_append", "log line: open, write, close"),
    ("cost.log_missing", "log open, no Tlflog (log off)"),
    ("cost.event_read_empty", "read of an eventfd that is not set"),
    ("cost.event_set", "taken event set: eventfd write (host)"),
    ("cost.event_wait_set", "wait on a set event: poll, read"),
    ("cost.ack_write", "ACK: write of one byte"),
    ("cost.local_time", "local time (twice per logged frame)"),
]


def cycle_figures(v):
    figs = []
    if "cycle.syscalls_log_on" in v:
        for key, title in (("cycle.syscalls_log_on", "log on"), ("cycle.syscalls_log_off", "log off")):
            figs.append(figure("frame cycle: worker system calls, " + title, v.get(key), "per frame", 3,
                               "raw echo: poll, read, write"))
    rtt = v.get("latency.raw_rtt.p50")
    for key, title in COSTS:
        if key in v:
            figs.append(figure("cost of " + title, v[key], "us", rtt, "raw pty round trip, median"))
    return figs


def number(x):
    if x is None:
        return "-"
    if abs(x) >= 1000:
        return "%.0f" % x
    if abs(x) >= 100:
        return "%.1f" % x
    if abs(x) >= 1:
        return "%.2f" % x
    return "%.3g" % x


def print_table(figs, mach, mode):
    print("Kvarn_Rcvr benchmarks (%s): %s CPUs, %s, Linux %s" % (mode, mach["nproc"], mach["cpu"], mach["kernel"]))
    print()
    rows = [("figure", "value", "unit", "baseline", "baseline is", "ratio", "target", "")]
    for f in figs:
        verdict = "" if f["pass"] is None else ("pass" if f["pass"] else "MISS")
        if f.get("fault"):
            verdict = ("FAULT: beats its baseline " + verdict).rstrip()
        ratio = "-" if f["ratio"] is None else "%.3gx" % f["ratio"]
        rows.append((f["name"], number(f["value"]), f["unit"], number(f["baseline"]), f["baseline_of"] or "-",
                     ratio, f["target"] or "", verdict))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    right = {1, 3, 5}
    for r in rows:
        cells = [c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths))]
        print("  ".join(cells).rstrip())


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mode", default="full")
    ap.add_argument("--json", help="also write the figures to this file")
    ap.add_argument("decode")
    ap.add_argument("line")
    args = ap.parse_args()
    errors = []
    figs = []
    for path, make in ((args.decode, decode_figures), (args.line, line_figures)):
        try:
            with open(path) as f:
                data = json.load(f)
        except (OSError, ValueError) as e:
            errors.append("%s: %s" % (path, e))
            continue
        errors.extend(data.get("errors", []))
        figs.extend(make(data, errors))
    mach = machine()
    print_table(figs, mach, args.mode)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"mode": args.mode, "machine": mach, "figures": figs, "errors": errors}, f, indent=1)
            f.write("\n")
    for f in figs:
        if f.get("fault"):
            print("measuring fault: %s is %s its baseline by nature, but reads %.3gx of it"
                  % (f["name"], f["bound"], f["ratio"]), file=sys.stderr)
    for e in errors:
        print("error: " + e, file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
