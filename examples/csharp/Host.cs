// Host.cs - a minimal C# host: open a channel, poll, print, close.
//   mcs -platform:x86 -out:KvarnHost.exe KvarnRcvr.cs Host.cs
//   KvarnHost.exe [port [receiver [seconds]]]
using System;
using System.Threading;

namespace Kvarn
{
    public static class Host
    {
        public static int Main(string[] args)
        {
            int port = args.Length > 0 ? int.Parse(args[0]) : 1;
            int receiver = args.Length > 1 ? int.Parse(args[1]) : 1;
            int seconds = args.Length > 2 ? int.Parse(args[2]) : 0;  // 0: until Ctrl-C

            Console.WriteLine("driver {0}", KvarnRcvr.DriverName());
            IntPtr channel = KvarnRcvr.tlf_InitComm(port, receiver);
            if (channel == IntPtr.Zero)
            {
                Console.Error.WriteLine("cannot open Com{0}", port);
                return 1;
            }

            bool stop = false;
            Console.CancelKeyPress += (s, e) => { e.Cancel = true; stop = true; };
            DateTime end = DateTime.UtcNow.AddSeconds(seconds);
            var msg = new TlfMsg();
            while (!stop && (seconds == 0 || DateTime.UtcNow < end))
            {
                KvarnRcvr.PumpMessages();  // this thread owns the handoff window
                while (KvarnRcvr.tlf_GetMsg(channel, ref msg) == 1) Console.WriteLine(msg);
                Thread.Sleep(50);
            }
            KvarnRcvr.tlf_CloseComm(channel);  // the channel is gone from here on
            return 0;
        }
    }
}
