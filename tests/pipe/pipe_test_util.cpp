#include "pipe_test_util.h"

#include <cstdio>

#include "PipeSrv.h"
#include "debug.h"

std::string TestPipeName(const char* tag)
{
    char name[128];
    snprintf(name, sizeof name, "\\\\.\\pipe\\varnok\\DulvexTest-%s-%lu", tag, GetCurrentProcessId());
    return name;
}

TraceCapture::TraceCapture()
{
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    char file[MAX_PATH];
    snprintf(file, sizeof file, "%sdulvex-pipe-trace-%lu.log", dir, GetCurrentProcessId());
    path_ = file;
    DeleteFileA(file);
    ConsoleDebug = true;
    OpenTrace(file);
    Mark();
}

void TraceCapture::Mark()
{
    FILE* f = fopen(path_.c_str(), "rb");
    mark_ = 0;
    if (f != nullptr) {
        fseek(f, 0, SEEK_END);
        mark_ = ftell(f);
        fclose(f);
    }
}

std::string TraceCapture::Text() const
{
    std::string text;
    FILE* f = fopen(path_.c_str(), "rb");
    if (f == nullptr)
        return text;
    fseek(f, mark_, SEEK_SET);
    char buf[4096];
    size_t n;
    // The trace file is written in text mode: line ends come back as CR LF.
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        for (size_t i = 0; i < n; ++i)
            if (buf[i] != '\r')
                text += buf[i];
    fclose(f);
    return text;
}

bool WaitServer(PipeServer* srv, DWORD ms) { return WaitForSingleObject(PipeSrvGetEvent(srv), ms) == WAIT_OBJECT_0; }

HANDLE OpenClient(const std::string& name, bool overlapped)
{
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return h;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
    return h;
}

DWORD ClientWrite(HANDLE client, const void* bytes, DWORD len)
{
    DWORD written = 0;
    if (!WriteFile(client, bytes, len, &written, nullptr))
        return GetLastError();
    return written == len ? 0 : ERROR_WRITE_FAULT;
}

int AcceptClient(PipeServer* srv)
{
    if (!WaitServer(srv))
        return -100;
    return GotOverResult(srv);
}

void ClientSendStart(ClientSend* send, HANDLE client, const void* bytes, DWORD len)
{
    send->Ov = OVERLAPPED{};
    send->Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    send->Pending = false;
    send->Error = 0;
    if (WriteFile(client, bytes, len, nullptr, &send->Ov))
        return;
    send->Error = GetLastError();
    send->Pending = send->Error == ERROR_IO_PENDING;
}

DWORD ClientSendFinish(ClientSend* send, HANDLE client, DWORD ms)
{
    if (send->Pending) {
        if (WaitForSingleObject(send->Ov.hEvent, ms) != WAIT_OBJECT_0) {
            CancelIoEx(client, &send->Ov);
            DWORD ignored;
            GetOverlappedResult(client, &send->Ov, &ignored, TRUE);
            CloseHandle(send->Ov.hEvent);
            return WAIT_TIMEOUT;
        }
        DWORD n = 0;
        send->Error = GetOverlappedResult(client, &send->Ov, &n, FALSE) ? 0 : GetLastError();
        send->Pending = false;
    }
    CloseHandle(send->Ov.hEvent);
    return send->Error;
}
