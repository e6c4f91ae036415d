// Overlapped named-pipe server. Exactly one operation is outstanding on ReadOverlapped at any
// time (a connect while no client is attached, a read while one is), and its event, which the
// bridge waits on, stays signalled from that operation's completion until the server issues
// the next one. A client that goes, or any failure on the read side, costs that client its
// instance: it is closed and a fresh one waits for the next client.
#include "PipeSrv.h"

#include <cstdlib>
#include <cstring>

#include "debug.h"
#include "sec_attr.h"

namespace {

// Internal of an OVERLAPPED while its operation is pending.
constexpr ULONG_PTR STATUS_PENDING_VALUE = 0x103;
// How long a cancelled operation may take to complete before its OVERLAPPED is reused.
constexpr DWORD CANCEL_WAIT_MS = 1000;

unsigned long HandleValue(HANDLE h) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(h)); }

// The system may still write into an OVERLAPPED after CancelIo returns, until the cancelled
// operation completes: wait for that before the record is reused or released.
void AwaitCancelled(OVERLAPPED* ov)
{
    if (ov->hEvent != nullptr && ov->Internal == STATUS_PENDING_VALUE)
        WaitForSingleObject(ov->hEvent, CANCEL_WAIT_MS);
}

void CloseInstance(PipeServer* srv)
{
    if (srv->Pipe == INVALID_HANDLE_VALUE)
        return;
    CancelIo(srv->Pipe);
    CloseHandle(srv->Pipe);
    srv->Pipe = INVALID_HANDLE_VALUE;
    AwaitCancelled(&srv->ReadOverlapped);
    AwaitCancelled(&srv->WriteOverlapped);
}

HANDLE CreateInstance(PipeServer* srv)
{
    DWORD size = static_cast<DWORD>(srv->BufferSize);
    DWORD outSize = srv->BufferSize > PIPE_MIN_OUT_BUFFER ? size : static_cast<DWORD>(PIPE_MIN_OUT_BUFFER);
    HANDLE pipe = CreateNamedPipeA(srv->PipeName, PIPE_OPEN_MODE, srv->PipeMode, srv->MaxInstances, outSize, size,
                                   NMPWAIT_WAIT_FOREVER, GetOpenSecurityAttributes());
    if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER &&
        (srv->PipeMode & PIPE_MODE_LOCAL_ONLY) != 0) {
        // Before Vista the flag is unknown and the call is refused; the DACL still denies the
        // NETWORK group there.
        TraceMessage("PipeCreate: no PIPE_REJECT_REMOTE_CLIENTS on this platform\n");
        srv->PipeMode &= ~PIPE_MODE_LOCAL_ONLY;
        pipe = CreateNamedPipeA(srv->PipeName, PIPE_OPEN_MODE, srv->PipeMode, srv->MaxInstances, outSize, size,
                                NMPWAIT_WAIT_FOREVER, GetOpenSecurityAttributes());
    }
    return pipe;
}

// A client that connected before the connect was issued is taken up like a completed
// overlapped connect: success status in the OVERLAPPED and the event signalled.
void InstantConnection(PipeServer* srv)
{
    srv->ReadOverlapped.Internal = 0;
    srv->ReadOverlapped.InternalHigh = 0;
    SetEvent(srv->ReadOverlapped.hEvent);
}

}  // namespace

PipeServer* PipeSrvCreate(const char* name, int32_t bufferSize, int32_t maxInstances)
{
    if (name == nullptr || bufferSize <= 0 || maxInstances < 0 || maxInstances > PIPE_UNLIMITED_INSTANCES)
        return nullptr;
    size_t nameSize = strlen(name) + 1;
    size_t total = sizeof(PipeServer) + static_cast<size_t>(bufferSize) + nameSize;
    auto* srv = static_cast<PipeServer*>(calloc(1, total));
    if (srv == nullptr)
        return nullptr;
    srv->Buffer = reinterpret_cast<uint8_t*>(srv + 1);
    srv->PipeName = reinterpret_cast<char*>(srv->Buffer + bufferSize);
    memcpy(srv->PipeName, name, nameSize);
    srv->BufferSize = bufferSize;
    srv->MaxInstances = maxInstances == 0 ? PIPE_DEFAULT_INSTANCES : maxInstances;
    srv->PipeMode = PIPE_MODE_MESSAGE | PIPE_MODE_LOCAL_ONLY;
    srv->Pipe = INVALID_HANDLE_VALUE;
    srv->ReadOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    srv->WriteOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (srv->ReadOverlapped.hEvent == nullptr || srv->WriteOverlapped.hEvent == nullptr || PipeCreate(srv) == 0) {
        PipeSrvDestroy(srv);
        return nullptr;
    }
    return srv;
}

void PipeSrvDestroy(PipeServer* srv)
{
    if (srv == nullptr)
        return;
    CloseInstance(srv);
    if (srv->ReadOverlapped.hEvent != nullptr)
        CloseHandle(srv->ReadOverlapped.hEvent);
    if (srv->WriteOverlapped.hEvent != nullptr)
        CloseHandle(srv->WriteOverlapped.hEvent);
    free(srv);
}

HANDLE PipeSrvGetEvent(PipeServer* srv) { return srv == nullptr ? nullptr : srv->ReadOverlapped.hEvent; }

int PipeCreate(PipeServer* srv)
{
    if (srv == nullptr)
        return 0;
    srv->Ready = 0;
    srv->HasMessage = 0;
    CloseInstance(srv);
    // After the cancelled operation completed, which signals the event.
    ResetEvent(srv->ReadOverlapped.hEvent);

    srv->Pipe = CreateInstance(srv);
    LogMessage("PipeCreate '%s' -> %08lx\n", srv->PipeName, HandleValue(srv->Pipe));
    if (srv->Pipe == INVALID_HANDLE_VALUE) {
        LogMessage("INVALID_HANDLE_VALUE !!!!\n");
        return 0;
    }

    srv->ReadOverlapped.Offset = 0;
    srv->ReadOverlapped.OffsetHigh = 0;
    if (ConnectNamedPipe(srv->Pipe, &srv->ReadOverlapped)) {
        LogMessage("\tTRUE? just connected .....\n");
        InstantConnection(srv);
        return 1;
    }
    DWORD err = GetLastError();
    LogMessage("\tConnectNamePipe -> 0 -> %lu (%08lx)\n", err, err);
    switch (err) {
    case ERROR_PIPE_CONNECTED:
        LogMessage("\tOKay, just connected .....\n");
        InstantConnection(srv);
        return 1;
    case ERROR_IO_PENDING:
    case ERROR_PIPE_LISTENING:
        LogMessage("\tPending ......\n");
        return 1;
    default:
        // Typically ERROR_NO_DATA: a client came and went before the connect. The instance is
        // useless; without it PipeSrvCheck tries again on the next quiet time-out. The connect
        // failed at once, so nothing is outstanding on the OVERLAPPED.
        srv->ReadOverlapped.Internal = 0;
        CloseInstance(srv);
        ResetEvent(srv->ReadOverlapped.hEvent);
        return 0;
    }
}

int PipeStart(PipeServer* srv)
{
    if (srv == nullptr)
        return 0;
    TraceMessage("PipeStart(Server=%p): Pipe=0x%08lx, Ready=%d\n", static_cast<void*>(srv), HandleValue(srv->Pipe),
                 static_cast<int>(srv->Ready));
    if (srv->Pipe == INVALID_HANDLE_VALUE)
        return 0;
    srv->Ready = 1;
    srv->HasMessage = 0;
    ResetEvent(srv->ReadOverlapped.hEvent);
    srv->ReadOverlapped.Offset = 0;
    srv->ReadOverlapped.OffsetHigh = 0;
    if (ReadFile(srv->Pipe, srv->Buffer, static_cast<DWORD>(srv->BufferSize), &srv->Transferred,
                 &srv->ReadOverlapped)) {
        TraceMessage("ReadFile (PIPE) -> OKAY ...\n");
        srv->ReadOverlapped.InternalHigh = srv->Transferred;
        SetEvent(srv->ReadOverlapped.hEvent);
        return 1;
    }
    DWORD err = GetLastError();
    if (err == ERROR_IO_PENDING || err == ERROR_PIPE_LISTENING)
        return 1;
    LogMessage("Error, ReadFile (PIPE,OVER) -> %lu, 0x%08lx\n", err, err);
    if (err == ERROR_BROKEN_PIPE)
        LogMessage("\t=> ERROR_BROKEN_PIPE = EOF :-)\n");
    // The read failed at once, so nothing is outstanding to cancel.
    srv->ReadOverlapped.Internal = 0;
    CloseHandle(srv->Pipe);
    srv->Pipe = INVALID_HANDLE_VALUE;
    ResetEvent(srv->ReadOverlapped.hEvent);
    return 0;
}

int GotOverResult(PipeServer* srv)
{
    if (srv == nullptr)
        return -1;
    if (srv->Pipe == INVALID_HANDLE_VALUE)
        return 0;
    if (srv->HasMessage)
        return static_cast<int>(srv->Transferred);
    if (srv->ReadOverlapped.Internal == STATUS_PENDING_VALUE)
        TraceMessage("Warning, IoOperation not completed !!!\n");
    if (!GetOverlappedResult(srv->Pipe, &srv->ReadOverlapped, &srv->Transferred, FALSE)) {
        DWORD err = GetLastError();
        LogMessage("Error, GetOverlappedResult -> %lu (%08lx)\n", err, err);
        if (err == ERROR_IO_INCOMPLETE) {
            // Asked before the completion: the operation is still outstanding and the client
            // (if any) is fine. Its completion will signal the event in due course.
            LogMessage("\tERROR_IO_INCOMPLETE :-(\n");
            return 0;
        }
        if (PipeCreate(srv))
            return 0;
        LogMessage("Error, can't create server again !\n");
        return -1;
    }
    TraceMessage("GotOverResult(ready=%d) -> got %lu bytes ....\n", static_cast<int>(srv->Ready), srv->Transferred);
    if (srv->Ready == 0) {
        if (PipeStart(srv))
            return 0;
        LogMessage("Error, can't start server again !\n");
        return -1;
    }
    if (srv->Transferred > 0) {
        srv->HasMessage = 1;
        return static_cast<int>(srv->Transferred);
    }
    LogMessage("Read ZERO bytes -> the other end ends ?\n");
    if (PipeCreate(srv))
        return 0;
    LogMessage("Error, can't create server again !\n");
    return -1;
}

int PipeSrvRead(PipeServer* srv, void* dest, uint32_t size)
{
    if (srv == nullptr)
        return -1;
    if (!srv->HasMessage) {
        // Nothing was taken up: copying would hand out a stale buffer, and a read issued now
        // would be a second one on the same OVERLAPPED.
        return 0;
    }
    if (dest == nullptr)
        return static_cast<int>(srv->Transferred);
    uint32_t n = size < srv->Transferred ? size : srv->Transferred;
    if (n > 0)
        memcpy(dest, srv->Buffer, n);
    if (n < srv->Transferred)
        TraceMessage("PipeSrvRead: message of %lu bytes cut to %u\n", srv->Transferred, n);
    if (PipeStart(srv))
        return static_cast<int>(n);
    // Typically the client wrote its last message and closed its end at once. The message is
    // whole and is delivered; the client is gone, so the next one gets a fresh instance now.
    LogMessage("PipeServRead OKAY, but Start error ...:-{\n");
    if (!PipeCreate(srv))
        LogMessage("Error, can't create server again !\n");
    return static_cast<int>(n);
}

int PipeWrite(PipeServer* srv, const void* msg, uint32_t len)
{
    if (srv == nullptr || (msg == nullptr && len > 0))
        return -1;
    if (srv->Pipe == INVALID_HANDLE_VALUE || srv->Ready == 0) {
        LogMessage("Warning, PipeWrite when server not ready -> discard ...\n");
        return 0;
    }
    ResetEvent(srv->WriteOverlapped.hEvent);
    srv->WriteOverlapped.Offset = 0;
    srv->WriteOverlapped.OffsetHigh = 0;
    DWORD written = 0;
    if (WriteFile(srv->Pipe, msg, len, &written, &srv->WriteOverlapped)) {
        TraceMessage("PipeWrite - instant -> %lu\n", written);
        return static_cast<int>(written);
    }
    DWORD err = GetLastError();
    if (err != ERROR_IO_PENDING)
        srv->WriteOverlapped.Internal = 0;
    if (err == ERROR_PIPE_LISTENING) {
        srv->Ready = 0;
        return 0;
    }
    if (err != ERROR_IO_PENDING) {
        LogMessage("PipeWrite error -> %lu (%08lx)\n", err, err);
        return -1;
    }
    TraceMessage("PipeWrite -> overlapped, will wait ....\n");
    // One client that stops reading must not stall the whole service: wait a bounded time,
    // then give up on that client as if it had gone.
    if (WaitForSingleObject(srv->WriteOverlapped.hEvent, PIPE_WRITE_TIMEOUT_MS) != WAIT_OBJECT_0) {
        LogMessage("PipeWrite: client took nothing for %lu ms -> drop it\n", static_cast<unsigned long>(PIPE_WRITE_TIMEOUT_MS));
        CancelIo(srv->Pipe);
        AwaitCancelled(&srv->WriteOverlapped);
        if (!PipeCreate(srv))
            LogMessage("Error, can't create server again !\n");
        return -1;
    }
    if (GetOverlappedResult(srv->Pipe, &srv->WriteOverlapped, &written, FALSE)) {
        TraceMessage("GeOverOK -> got %lu\n", written);
        return static_cast<int>(written);
    }
    err = GetLastError();
    LogMessage("GetOverlapped error -> %lu (%08lx)\n", err, err);
    return -1;
}

int PipeSrvCheck(PipeServer* srv)
{
    if (srv == nullptr || srv->Pipe != INVALID_HANDLE_VALUE)
        return 1;
    if (PipeCreate(srv))
        return 1;
    LogMessage("Error, PipeSrvCheck(): can't create server again !\n");
    return 0;
}
