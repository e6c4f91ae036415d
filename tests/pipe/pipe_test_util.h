// Helpers for tests that drive the pipe server with real clients.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

struct PipeServer;

// A pipe name of this test process's own, so that a leftover instance can never be taken for
// ours.
std::string TestPipeName(const char* tag);

// Sends the trace to a file of its own and keeps the event log out of the way. Text() returns
// what was traced since the last Mark().
class TraceCapture {
public:
    TraceCapture();
    void Mark();
    std::string Text() const;

private:
    std::string path_;
    long mark_ = 0;
};

// A thread that runs body once and is joined by Join() or on destruction: the win32-thread
// compilers that build the Windows tests have no std::thread.
class TestThread {
public:
    explicit TestThread(std::function<void()> body) : body_(std::move(body))
    {
        handle_ = CreateThread(nullptr, 0, Entry, this, 0, nullptr);
    }
    ~TestThread() { Join(); }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    void Join()
    {
        if (handle_ != nullptr) {
            WaitForSingleObject(handle_, INFINITE);
            CloseHandle(handle_);
            handle_ = nullptr;
        }
    }

private:
    static DWORD WINAPI Entry(void* self)
    {
        static_cast<TestThread*>(self)->body_();
        return 0;
    }
    std::function<void()> body_;
    HANDLE handle_ = nullptr;
};

// A lock and its scoped holder, for the same reason: no std::mutex with these compilers.
class TestLock {
public:
    TestLock() { InitializeCriticalSection(&cs_); }
    ~TestLock() { DeleteCriticalSection(&cs_); }
    TestLock(const TestLock&) = delete;
    TestLock& operator=(const TestLock&) = delete;
    class Hold {
    public:
        explicit Hold(TestLock& lock) : lock_(lock) { EnterCriticalSection(&lock_.cs_); }
        ~Hold() { LeaveCriticalSection(&lock_.cs_); }

    private:
        TestLock& lock_;
    };

private:
    CRITICAL_SECTION cs_;
};

// Waits (bounded) until the server event is signalled.
bool WaitServer(PipeServer* srv, DWORD ms = 5000);

// A plain client end in message read mode; INVALID_HANDLE_VALUE when the pipe has no free
// listening instance. overlapped opens it for overlapped I/O.
HANDLE OpenClient(const std::string& name, bool overlapped = false);

// Writes one message from the client; returns the Win32 error (0 for success).
DWORD ClientWrite(HANDLE client, const void* bytes, DWORD len);

// Takes up the connect of a client that has just opened the pipe: after this the server has
// a read outstanding. Returns GotOverResult's value.
int AcceptClient(PipeServer* srv);

// One overlapped write from a client opened with overlapped = true, finished later: a client
// message may have to wait until the server reads it.
struct ClientSend {
    OVERLAPPED Ov{};
    DWORD Error = 0;
    bool Pending = false;
};
void ClientSendStart(ClientSend* send, HANDLE client, const void* bytes, DWORD len);
// The write's final error code (0 for success); WAIT_TIMEOUT when it did not end within ms.
DWORD ClientSendFinish(ClientSend* send, HANDLE client, DWORD ms = 5000);
