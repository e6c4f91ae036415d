// C# wrapper of dulvex.dll by P/Invoke. The DLL's bitness must match the process: build x64
// with the 64-bit dulvex.dll, x86 with the 32-bit one (an AnyCPU program runs 64-bit on 64-bit
// Windows). Thread rules are those of dulvex_sdk.h: one thread may send while another receives;
// Connect, Close and Dispose wait for both.
using System;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;

namespace Dulvex
{
    public enum SdkResult
    {
        Ok = 0, Argument = -1, NotConnected = -2, NoService = -3, Busy = -4, Timeout = -5,
        Disconnected = -6, TooLong = -7, Access = -8, Protocol = -9, System = -10, NoMemory = -11,
        Pending = -12, Cancelled = -13, Undelivered = -14, Kept = -15
    }

    // Why the service will not deliver a command (Message.Reason of a notice).
    public enum NoticeReason
    {
        QueueFull = 1, GivenUp = 2, LinkUnusable = 3, HeldDroppedForAge = 4, HeldDroppedForCount = 5
    }

    public sealed class SdkException : Exception
    {
        public SdkResult Result { get; private set; }
        public uint SystemError { get; private set; }

        public SdkException(int result, uint systemError)
            : base(Native.Text(result) + (systemError != 0 ? " (system error " + systemError + ")" : ""))
        {
            Result = (SdkResult)result;
            SystemError = systemError;
        }
    }

    // One message from the service: one packet of one application, or a notice (IsNotice): the
    // command Command to the application Mask will not be answered, for Reason; Count is 1 for a
    // command, the number dropped for held answers. A notice is no failure: the session goes on.
    public sealed class Message
    {
        public byte Mask;
        public ushort Command;
        public bool HasStatus;
        public ushort Status;
        public byte[] Data;
        public bool IsNotice;
        public NoticeReason Reason;
        public uint Count;
    }

    // Link health of one application (see docs/delivery.md).
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct AppHealth
    {
        public byte Mask, State, Queue, Reserved;
        public uint SinceMs, Sent, Received, Retransmitted, GivenUp, LastHeardMs;
    }

    public static class Apps
    {
        public const byte Master = 0x01, Mbca = 0x02, Maint = 0x04, Fleet = 0x08, Petro = 0x10, All = 0x1F;
    }

    internal static class Native
    {
        const string Dll = "dulvex.dll";
        public const int MaxData = 600;
        public const uint Infinite = 0xFFFFFFFF;

        // The layout of DulvexSdkMessage: 8 bytes of header, then the data, no padding.
        [StructLayout(LayoutKind.Sequential, Pack = 1)]
        public struct SdkMessage
        {
            public byte Mask;
            public byte HasStatus;
            public ushort Cmd;
            public ushort Status;
            public ushort Len;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = MaxData)]
            public byte[] Data;
        }

        [StructLayout(LayoutKind.Sequential, Pack = 1)]
        public struct SdkHealth
        {
            public uint Count;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)]
            public AppHealth[] Apps;
        }

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern uint DulvexSdkVersion();
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr DulvexSdkResultText(int result);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr DulvexSdkCreate();
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern void DulvexSdkFree(IntPtr session);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int DulvexSdkConnect(IntPtr session, string pipeName, uint timeoutMs);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int DulvexSdkConnectEx(IntPtr session, string pipeName, uint timeoutMs, uint flags);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern int DulvexSdkWelcome(IntPtr session, out uint held);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern int DulvexSdkLinkHealth(IntPtr session, out SdkHealth health, uint timeoutMs);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern void DulvexSdkClose(IntPtr session);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern int DulvexSdkSetSendTimeout(IntPtr session, uint timeoutMs);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern int DulvexSdkSend(IntPtr session, byte mask, ushort cmd, ushort status, byte[] data,
                                               uint len);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int DulvexSdkSendCapture(IntPtr session, string text);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern int DulvexSdkReceive(IntPtr session, out SdkMessage msg, uint timeoutMs);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr DulvexSdkReceiveHandle(IntPtr session);
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern uint DulvexSdkLastError(IntPtr session);

        public static string Text(int result)
        {
            return Marshal.PtrToStringAnsi(DulvexSdkResultText(result));
        }
    }

    // A connection to the service. Not for use after Dispose.
    public sealed class Session : IDisposable
    {
        IntPtr handle;

        public static uint Version { get { return Native.DulvexSdkVersion(); } }

        public Session()
        {
            handle = Native.DulvexSdkCreate();
            if (handle == IntPtr.Zero)
                throw new OutOfMemoryException(Native.Text((int)SdkResult.NoMemory));
        }

        int Check(int result)
        {
            if (result < 0)
                throw new SdkException(result, Native.DulvexSdkLastError(handle));
            return result;
        }

        // pipeName null: the service's pipe. The session announces itself: notices and the answers
        // held for it come through Receive. plain: connect without the announcement.
        public void Connect(string pipeName, int timeoutMs, bool plain = false)
        {
            Check(Native.DulvexSdkConnectEx(handle, pipeName, (uint)timeoutMs, plain ? 1u : 0u));
        }

        // The held answers the service's welcome announced, or -1 while no welcome came.
        public int HeldAtWelcome
        {
            get {
                uint held;
                return Native.DulvexSdkWelcome(handle, out held) == 1 ? (int)held : -1;
            }
        }

        // Each application's link health. Messages that come meanwhile are kept for Receive;
        // SdkResult.Kept: receive them first.
        public AppHealth[] LinkHealth(int timeoutMs)
        {
            Native.SdkHealth h;
            Check(Native.DulvexSdkLinkHealth(handle, out h, (uint)timeoutMs));
            var apps = new AppHealth[h.Count];
            Array.Copy(h.Apps, apps, (int)h.Count);
            return apps;
        }

        public void Close() { Native.DulvexSdkClose(handle); }

        public int SendTimeoutMs { set { Check(Native.DulvexSdkSetSendTimeout(handle, (uint)value)); } }

        public void Send(byte mask, ushort command, ushort status, byte[] data)
        {
            data = data ?? new byte[0];
            Check(Native.DulvexSdkSend(handle, mask, command, status, data, (uint)data.Length));
        }

        public void SendCapture(string text) { Check(Native.DulvexSdkSendCapture(handle, text)); }

        // The next message, or null when none came within timeoutMs (-1: wait for ever).
        public Message Receive(int timeoutMs)
        {
            Native.SdkMessage m;
            int r = Native.DulvexSdkReceive(handle, out m, timeoutMs < 0 ? Native.Infinite : (uint)timeoutMs);
            if (r == (int)SdkResult.Timeout)
                return null;
            if (r == (int)SdkResult.Undelivered)
                return new Message { Mask = m.Mask, Command = m.Cmd, IsNotice = true, Reason = (NoticeReason)m.Status,
                                     Count = (uint)(m.Data[0] << 24 | m.Data[1] << 16 | m.Data[2] << 8 | m.Data[3]),
                                     Data = new byte[0] };
            Check(r);
            var data = new byte[m.Len];
            Array.Copy(m.Data, data, m.Len);
            return new Message { Mask = m.Mask, Command = m.Cmd, HasStatus = m.HasStatus != 0, Status = m.Status,
                                 Data = data };
        }

        // A handle that is signalled when Receive(0) would not wait; see DulvexSdkReceiveHandle.
        public WaitHandle ReceiveHandle()
        {
            IntPtr h = Native.DulvexSdkReceiveHandle(handle);
            if (h == IntPtr.Zero)
                throw new SdkException((int)SdkResult.NotConnected, 0);
            // The event belongs to the session: this wrapper must never close it.
            return new ForeignEvent(h);
        }

        // The next message without holding a thread while waiting; null after timeoutMs.
        public Task<Message> ReceiveAsync(int timeoutMs)
        {
            var done = new TaskCompletionSource<Message>();
            int start = Environment.TickCount;
            WaitHandle wait = ReceiveHandle();
            RegisteredWaitHandle registration = ThreadPool.RegisterWaitForSingleObject(wait, (state, timedOut) => {
                try {
                    // The handle fires once without a message when the read was cancelled with its
                    // thread; the receive then starts it again and waits out the rest.
                    int left = timeoutMs < 0 ? -1 : Math.Max(0, timeoutMs - (Environment.TickCount - start));
                    done.TrySetResult(timedOut ? null : Receive(left));
                } catch (Exception e) {
                    done.TrySetException(e);
                }
            }, null, timeoutMs, true);
            // Attached after the registration exists, so it always has one to release.
            return done.Task.ContinueWith(t => {
                registration.Unregister(null);
                return t;
            }).Unwrap();
        }

        // Sends on a pool thread: the send time-out bounds how long.
        public Task SendAsync(byte mask, ushort command, ushort status, byte[] data)
        {
            return Task.Run(() => Send(mask, command, status, data));
        }

        public void Dispose()
        {
            if (handle != IntPtr.Zero) {
                Native.DulvexSdkFree(handle);
                handle = IntPtr.Zero;
            }
        }

        sealed class ForeignEvent : WaitHandle
        {
            public ForeignEvent(IntPtr h)
            {
                SafeWaitHandle = new Microsoft.Win32.SafeHandles.SafeWaitHandle(h, false);
            }
        }
    }
}
