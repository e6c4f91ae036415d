// Sends one packet to Master and prints the answers that come within 5 s, with ReceiveAsync.
// Build (Windows): csc SdkSample.cs DulvexSdk.cs   (or mcs); put dulvex.dll beside the program.
using System;
using Dulvex;

static class SdkSample
{
    static int Main()
    {
        Console.WriteLine("dulvex.dll version 0x{0:X6}", Session.Version);
        using (var session = new Session()) {
            try {
                session.Connect(null, 5000);
                session.SendTimeoutMs = 2000;
                session.SendAsync(Apps.Master, 0x1234, 0, new byte[] { 0x41, 0x42 }).Wait();
                Message m = session.ReceiveAsync(5000).Result;
                if (m == null) {
                    Console.WriteLine("no answer within 5 s");
                    return 1;
                }
                Console.WriteLine("from 0x{0:X2}: command 0x{1:X4}{2}, {3} data bytes: {4}", m.Mask, m.Command,
                                  m.HasStatus ? string.Format(" status 0x{0:X4}", m.Status) : "", m.Data.Length,
                                  BitConverter.ToString(m.Data));
                return 0;
            } catch (AggregateException e) {
                Console.WriteLine("failed: {0}", e.InnerException.Message);
            } catch (SdkException e) {
                Console.WriteLine("failed: {0}", e.Message);
            }
            return 1;
        }
    }
}
