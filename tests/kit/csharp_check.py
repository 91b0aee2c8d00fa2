"""The C# declarations match the C header: the FieldOffset and Size values of
KvarnRcvr.cs against the C compiler's offsetof, stdcall on every import, the
five entry points. When Mono's compiler is installed the declarations and the
example host are also compiled (x86, warnings as errors) and a check program
reads the marshalled layout back and calls the library.

Usage: csharp_check.py CSHARP_DIR OFFSETS_PROGRAM LIBRARY
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

csharp_dir, offsets_program, library = sys.argv[1:4]
source = open(os.path.join(csharp_dir, "KvarnRcvr.cs")).read()
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


# "TlfMsg.RecNo 0", "TlfMsg.size 48", ...
c_layout = {}
for line in subprocess.run([offsets_program], check=True, capture_output=True, text=True).stdout.split("\n"):
    if line:
        key, value = line.split()
        # The explicit C# layout declares no gap fields, and it is checked by
        # offsets: the fields' own sizes are left to the SIZES table below.
        if ".Gap" not in key and key.count(".") < 2:
            c_layout[key] = int(value)

SIZES = {"int": 4, "uint": 4, "ushort": 2, "byte": 1, "TlfShortString3": 4, "TlfShortString8": 9,
         "TlfSystemTime": 16}


def struct_decl(name):
    m = re.search(r"\[StructLayout\(LayoutKind\.Explicit, Size = (\d+)\)\]\s*public struct %s\b(.*?)\n    }"
                  % name, source, re.S)
    if not m:
        return None, []
    fields = re.findall(r"\[FieldOffset\((\d+)\)\] public (\w+) (\w+);", m.group(2))
    return int(m.group(1)), [(int(o), t, n) for o, t, n in fields]


for struct in ("TlfMsg", "TlfSystemTime", "TlfShortString3", "TlfShortString8"):
    size, fields = struct_decl(struct)
    check(size is not None, "%s is declared with LayoutKind.Explicit and a Size" % struct)
    if size is None:
        continue
    if struct + ".size" in c_layout:
        check(size == c_layout[struct + ".size"], "%s Size = %d (C: %d)" % (struct, size, c_layout[struct + ".size"]))
    end = 0
    for offset, ctype, name in sorted(fields):
        check(offset >= end and offset + SIZES[ctype] <= size, "%s.%s at %d does not overlap" % (struct, name, offset))
        end = offset + SIZES[ctype]
        key = "%s.%s" % (struct, name)
        if key in c_layout:
            check(offset == c_layout[key], "%s FieldOffset(%d) (C offsetof: %d)" % (key, offset, c_layout[key]))
    for key in c_layout:
        if key.startswith(struct + ".") and not key.endswith(".size"):
            check(any(key == "%s.%s" % (struct, n) for _, _, n in fields), "%s is declared" % key)

imports = re.findall(r"\[DllImport\(Dll, EntryPoint = \"(\w+)\", CallingConvention = CallingConvention\.(\w+),"
                     r"\s*ExactSpelling = true\)\]\s*public static extern \w+ (\w+)\(", source)
check(sorted(i[0] for i in imports) == sorted(["tlf_InitComm", "tlf_CloseComm", "tlf_GetMsg", "tlf_GetSysMsg",
                                                "Tlf_GetNameN4"]), "the five entry points are imported")
for entry, convention, method in imports:
    check(convention == "StdCall" and entry == method, "%s: StdCall, named as exported" % entry)

mcs, mono = shutil.which("mcs"), shutil.which("mono")
if not (mcs and mono):
    print("skip compiling: Mono's C# compiler (Debian package mono-mcs) is not installed")
else:
    tmp = tempfile.mkdtemp()
    try:
        cs = os.path.join(csharp_dir, "KvarnRcvr.cs")
        host = subprocess.run([mcs, "-platform:x86", "-warnaserror", "-out:" + os.path.join(tmp, "host.exe"), cs,
                               os.path.join(csharp_dir, "Host.cs")], capture_output=True, text=True)
        check(host.returncode == 0, "KvarnRcvr.cs and Host.cs compile for x86 " + host.stdout + host.stderr)
        probe = os.path.join(tmp, "Probe.cs")
        with open(probe, "w") as f:
            f.write("""
using System; using System.Runtime.InteropServices; using Kvarn;
public static class Probe {
  static void Show(Type t, string f) { Console.WriteLine("{0}.{1} {2}", t.Name, f, Marshal.OffsetOf(t, f)); }
  public static int Main() {
    Console.WriteLine("TlfMsg.size {0}", Marshal.SizeOf(typeof(TlfMsg)));
    Console.WriteLine("TlfSystemTime.size {0}", Marshal.SizeOf(typeof(TlfSystemTime)));
    foreach (var f in new[]{"RecNo","LineNo","Account","Area","EvZone","Stamp","Extra"}) Show(typeof(TlfMsg), f);
    foreach (var f in new[]{"wYear","wMonth","wDayOfWeek","wDay","wHour","wMinute","wSecond","wMilliseconds"})
      Show(typeof(TlfSystemTime), f);
    int a, b, c;
    IntPtr name = KvarnRcvr.Tlf_GetNameN4(out a, out b, out c);
    Console.WriteLine("name {0}", Marshal.PtrToStringAnsi(name));
    uint bits = 0x08; var marks = new byte[14]; int info;
    KvarnRcvr.tlf_GetSysMsg(0, KvarnRcvr.StatusLine("   A 03"), ref bits, marks, out info);
    KvarnRcvr.tlf_GetSysMsg(0, KvarnRcvr.StatusLine("   R E2"), ref bits, marks, out info);
    Console.WriteLine("sysmsg {0} {1} {2}", bits, marks[1], info);
    Console.WriteLine("open0 {0}", KvarnRcvr.tlf_InitComm(0, 1) == IntPtr.Zero ? "null" : "channel");
    return 0;
  }
}
""")
        exe = os.path.join(tmp, "probe.exe")
        built = subprocess.run([mcs, "-warnaserror", "-out:" + exe, cs, probe], capture_output=True, text=True)
        check(built.returncode == 0, "the probe compiles " + built.stdout + built.stderr)
        if built.returncode == 0:
            env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(os.path.abspath(library)))
            run = subprocess.run([mono, exe], capture_output=True, text=True, env=env, timeout=120)
            check(run.returncode == 0, "the probe runs under Mono " + run.stderr)
            seen = dict(line.split(" ", 1) for line in run.stdout.splitlines())
            for key, value in c_layout.items():
                check(seen.get(key) == str(value), "marshalled %s = %s (C: %d)" % (key, seen.get(key), value))
            check(seen.get("name") == "Kvarn_Rcvr", "Tlf_GetNameN4 through P/Invoke")
            check(seen.get("open0") == "null", "tlf_InitComm(0, 1) through P/Invoke gives null")
            if "status" not in os.environ.get("KVARN_PENDING", ""):
                check(seen.get("sysmsg") == "9 255 16", "tlf_GetSysMsg through P/Invoke: %s" % seen.get("sysmsg"))
    finally:
        shutil.rmtree(tmp)

sys.exit(1 if failures else 0)
