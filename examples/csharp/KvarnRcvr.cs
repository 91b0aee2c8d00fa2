// KvarnRcvr.cs - P/Invoke declarations for the Kvarn_Rcvr alarm-receiver
// library, for C# hosts.
//
// Kvarn_Rcvr.dll is a 32-bit x86 DLL: build the host for x86
// (<PlatformTarget>x86</PlatformTarget>, or csc/mcs -platform:x86). An AnyCPU
// or x64 process cannot load it (BadImageFormatException).
//
// Threading (see kvarn_rcvr.h, THREADING RULES):
//  - The thread that opens the first channel owns the library's hidden
//    message window and must keep retrieving window messages while channels
//    are open. In a WinForms or WPF program open the channels on the UI thread
//    and poll from a UI timer (System.Windows.Forms.Timer, DispatcherTimer):
//    the UI message loop then does the pumping. A console host calls
//    KvarnRcvr.PumpMessages() in its poll loop.
//  - Poll tlf_GetMsg (every 50-200 ms); call it again while it returns 1.
//    An event not taken within 7000 ms is withdrawn and its frame left
//    unacknowledged.
//  - Close every channel with tlf_CloseComm before the program ends, and
//    never pass a channel to the library after closing it.
//
// On Linux, Mono and .NET find libKvarn_Rcvr.so under the same name
// "Kvarn_Rcvr"; the calling convention attribute is then ignored.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Kvarn
{
    /// <summary>Receiver time, the Win32 SYSTEMTIME layout (16 bytes).
    /// wYear == 0xFFFF means the event has no time.</summary>
    [StructLayout(LayoutKind.Explicit, Size = 16)]
    public struct TlfSystemTime
    {
        [FieldOffset(0)] public ushort wYear;
        [FieldOffset(2)] public ushort wMonth;
        [FieldOffset(4)] public ushort wDayOfWeek;
        [FieldOffset(6)] public ushort wDay;
        [FieldOffset(8)] public ushort wHour;
        [FieldOffset(10)] public ushort wMinute;
        [FieldOffset(12)] public ushort wSecond;
        [FieldOffset(14)] public ushort wMilliseconds;

        public const ushort NoTime = 0xFFFF;
        public bool HasTime { get { return wYear != NoTime; } }
    }

    /// <summary>A short string of capacity 3: a length byte and 3 characters.</summary>
    [StructLayout(LayoutKind.Explicit, Size = 4)]
    public struct TlfShortString3
    {
        [FieldOffset(0)] public byte Length;
        [FieldOffset(1)] public byte C1;
        [FieldOffset(2)] public byte C2;
        [FieldOffset(3)] public byte C3;

        public override string ToString()
        {
            byte[] b = { C1, C2, C3 };
            return KvarnRcvr.Latin1(b, Math.Min((int)Length, 3));
        }
    }

    /// <summary>A short string of capacity 8: a length byte and 8 characters.</summary>
    [StructLayout(LayoutKind.Explicit, Size = 9)]
    public struct TlfShortString8
    {
        [FieldOffset(0)] public byte Length;
        [FieldOffset(1)] public byte C1;
        [FieldOffset(2)] public byte C2;
        [FieldOffset(3)] public byte C3;
        [FieldOffset(4)] public byte C4;
        [FieldOffset(5)] public byte C5;
        [FieldOffset(6)] public byte C6;
        [FieldOffset(7)] public byte C7;
        [FieldOffset(8)] public byte C8;

        public override string ToString()
        {
            byte[] b = { C1, C2, C3, C4, C5, C6, C7, C8 };
            return KvarnRcvr.Latin1(b, Math.Min((int)Length, 8));
        }
    }

    /// <summary>One decoded event, 48 bytes. Blittable: tlf_GetMsg writes
    /// straight into the caller's record, so fields it does not write (Extra,
    /// and RecNo and Stamp for the further blocks of a bracketed frame) keep
    /// their values.</summary>
    [StructLayout(LayoutKind.Explicit, Size = 48)]
    public struct TlfMsg
    {
        /// <summary>Receiver number from the frame.</summary>
        [FieldOffset(0)] public int RecNo;
        /// <summary>Receiver line, 0..15.</summary>
        [FieldOffset(4)] public ushort LineNo;
        // Bytes 6-7: alignment gap, never written by the library.
        /// <summary>Account: the value of the frame's hex digits ("1234" gives 0x1234).</summary>
        [FieldOffset(8)] public int Account;
        /// <summary>Area, up to 3 characters placed in spaces.</summary>
        [FieldOffset(12)] public TlfShortString3 Area;
        /// <summary>Event code and zone, up to 8 characters placed in spaces.</summary>
        [FieldOffset(16)] public TlfShortString8 EvZone;
        // Byte 25: alignment gap.
        /// <summary>Receiver time; Stamp.HasTime is false when the frame had none.</summary>
        [FieldOffset(26)] public TlfSystemTime Stamp;
        // Bytes 42-43: alignment gap.
        /// <summary>The host's own 32 bits; the library never reads or writes them.</summary>
        [FieldOffset(44)] public int Extra;

        public override string ToString()
        {
            string time = Stamp.HasTime
                ? string.Format("{0:00}:{1:00}:{2:00} {3:00}/{4:00}", Stamp.wHour, Stamp.wMinute,
                                Stamp.wSecond, Stamp.wDay, Stamp.wMonth)
                : "-";
            return string.Format("rcv {0} line {1} acct {2:X} area [{3}] event [{4}] time {5}",
                                 RecNo, LineNo, Account, Area, EvZone, time);
        }
    }

    /// <summary>The five functions of Kvarn_Rcvr.dll (stdcall, exported by
    /// undecorated name and by ordinal 1..5).</summary>
    public static class KvarnRcvr
    {
        public const string Dll = "Kvarn_Rcvr";

        /// <summary>Opens port "Com&lt;port&gt;" with the settings of section
        /// [RecNr&lt;receiver&gt;] of .\Rn.ini. Returns IntPtr.Zero when the
        /// port cannot be opened.</summary>
        [DllImport(Dll, EntryPoint = "tlf_InitComm", CallingConvention = CallingConvention.StdCall,
                   ExactSpelling = true)]
        public static extern IntPtr tlf_InitComm(int port, int receiver);

        /// <summary>Stops and releases the channel (up to 7 s while an event
        /// waits for pickup). The result has no meaning.</summary>
        [DllImport(Dll, EntryPoint = "tlf_CloseComm", CallingConvention = CallingConvention.StdCall,
                   ExactSpelling = true)]
        public static extern int tlf_CloseComm(IntPtr channel);

        /// <summary>Takes the next event into msg: 1 when one was written,
        /// 0 when nothing was waiting (msg untouched).</summary>
        [DllImport(Dll, EntryPoint = "tlf_GetMsg", CallingConvention = CallingConvention.StdCall,
                   ExactSpelling = true)]
        public static extern int tlf_GetMsg(IntPtr channel, ref TlfMsg msg);

        /// <summary>Interprets one status line (length byte + text, see
        /// StatusLine) into the host's status bits and 14 line marks; info
        /// receives 16. The result has no meaning.</summary>
        [DllImport(Dll, EntryPoint = "tlf_GetSysMsg", CallingConvention = CallingConvention.StdCall,
                   ExactSpelling = true)]
        public static extern int tlf_GetSysMsg(int reserved, byte[] statusLine, ref uint statusBits,
                                               [In, Out] byte[] lineMarks, out int info);

        /// <summary>Returns a pointer to the constant name "Kvarn_Rcvr" (read
        /// it with Marshal.PtrToStringAnsi; never free it) and the ids 65519,
        /// 16 and 3.</summary>
        [DllImport(Dll, EntryPoint = "Tlf_GetNameN4", CallingConvention = CallingConvention.StdCall,
                   ExactSpelling = true)]
        public static extern IntPtr Tlf_GetNameN4(out int id1, out int id2, out int id3);

        /// <summary>The driver name as a string.</summary>
        public static string DriverName()
        {
            int a, b, c;
            return Marshal.PtrToStringAnsi(Tlf_GetNameN4(out a, out b, out c));
        }

        /// <summary>A status line in the form tlf_GetSysMsg reads: length byte, then the text.</summary>
        public static byte[] StatusLine(string text)
        {
            if (text.Length > 255) throw new ArgumentException("a status line has at most 255 characters");
            byte[] line = new byte[1 + text.Length];
            line[0] = (byte)text.Length;
            for (int i = 0; i < text.Length; i++) line[1 + i] = (byte)text[i];
            return line;
        }

        internal static string Latin1(byte[] chars, int count)
        {
            var sb = new StringBuilder(count);
            for (int i = 0; i < count; i++) sb.Append((char)chars[i]);
            return sb.ToString();
        }

        // Console hosts on Windows: run the messages sent to this thread (the
        // library's event handoff among them). Call it in the poll loop of
        // the thread that opened the first channel.
        [StructLayout(LayoutKind.Sequential)]
        private struct NativeMsg
        {
            public IntPtr hwnd;
            public uint message;
            public IntPtr wParam;
            public IntPtr lParam;
            public uint time;
            public int x;
            public int y;
        }

        [DllImport("user32.dll")]
        private static extern bool PeekMessageA(out NativeMsg msg, IntPtr hwnd, uint min, uint max, uint remove);
        [DllImport("user32.dll")]
        private static extern bool TranslateMessage(ref NativeMsg msg);
        [DllImport("user32.dll")]
        private static extern IntPtr DispatchMessageA(ref NativeMsg msg);

        public static void PumpMessages()
        {
            if (Environment.OSVersion.Platform != PlatformID.Win32NT) return;
            const uint PM_REMOVE = 1;
            NativeMsg m;
            while (PeekMessageA(out m, IntPtr.Zero, 0, 0, PM_REMOVE))
            {
                TranslateMessage(ref m);
                DispatchMessageA(ref m);
            }
        }
    }
}
