// Sends one packet to Master and prints what comes until its answer or a notice that it will not
// come, for at most 5 s, with ReceiveAsync. Exit code 0 answered, 3 not deliverable, 1 otherwise.
// Build (Windows): csc SdkSample.cs DulvexSdk.cs   (or mcs); put dulvex.dll beside the program.
using System;
using Dulvex;

static class SdkSample
{
    static int Main()
    {
        Console.WriteLine("dulvex.dll version 0x{0:X6}", Session.Version);
        bool welcomed = false;
        using (var session = new Session()) {
            try {
                session.Connect(null, 5000);
                session.SendTimeoutMs = 2000;
                session.SendAsync(Apps.Master, 0x1234, 0, new byte[] { 0x41, 0x42 }).Wait();
                // Held answers and others' messages come first; a notice says the command will
                // not be answered, and the session goes on.
                int start = Environment.TickCount;
                for (;;) {
                    int left = 5000 - (Environment.TickCount - start);
                    Message m = left > 0 ? session.ReceiveAsync(left).Result : null;
                    if (m == null) {
                        Console.WriteLine("no answer within 5 s");
                        return 1;
                    }
                    if (session.HeldAtWelcome > 0 && !welcomed) {
                        welcomed = true;
                        Console.WriteLine("welcome: {0} held answer(s) first", session.HeldAtWelcome);
                    }
                    if (m.IsNotice) {
                        Console.WriteLine("notice: command 0x{0:X4} to 0x{1:X2} will not be answered: {2}, count {3}",
                                          m.Command, m.Mask, m.Reason, m.Count);
                        if (m.Mask == Apps.Master && m.Command == 0x1234)
                            return 3;
                        continue;
                    }
                    Console.WriteLine("from 0x{0:X2}: command 0x{1:X4}{2}, {3} data bytes: {4}", m.Mask, m.Command,
                                      m.HasStatus ? string.Format(" status 0x{0:X4}", m.Status) : "",
                                      m.Data.Length, BitConverter.ToString(m.Data));
                    if (m.Mask == Apps.Master && m.Command == 0x9234)
                        return 0;
                }
            } catch (AggregateException e) {
                Console.WriteLine("failed: {0}", e.InnerException.Message);
            } catch (SdkException e) {
                Console.WriteLine("failed: {0}", e.Message);
            }
            return 1;
        }
    }
}
