// Overlapped named-pipe server. Exactly one operation is outstanding on ReadOverlapped at any
// time (a connect while no client is attached, a read while one is), and its event, which the
// bridge waits on, stays signalled from that operation's completion until the server issues
// the next one. At most one write is outstanding on WriteOverlapped: the first message of the
// client's queue. A client that goes, that misbehaves or that stops taking messages is
// disconnected, and the same instance listens for the next client: the name is never free.
#include "PipeSrv.h"

#include <cstdlib>
#include <cstring>

#include "debug.h"
#include "sec_attr.h"

#include "pipe_account.h"

namespace {

PipeTap Tap = nullptr;

// Internal of an OVERLAPPED while its operation is pending.
constexpr ULONG_PTR STATUS_PENDING_VALUE = 0x103;
// How long a cancelled operation may take to complete before its OVERLAPPED is reused.
constexpr DWORD CANCEL_WAIT_MS = 1000;
// A client that opens and closes the pipe between a disconnect and the next connect makes that
// connect fail at once (ERROR_NO_DATA); the instance is disconnected and asked to connect again
// this many times in all before the periodic check takes over.
constexpr int CONNECT_TRIES = 3;

unsigned long HandleValue(HANDLE h) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(h)); }

// The system may still write into an OVERLAPPED after CancelIo returns, until the cancelled
// operation completes: wait for that before the record is reused or released.
void AwaitCancelled(OVERLAPPED* ov)
{
    if (ov->hEvent != nullptr && ov->Internal == STATUS_PENDING_VALUE)
        WaitForSingleObject(ov->hEvent, CANCEL_WAIT_MS);
}

// Ends every operation on the instance and forgets the client, its message and its queue.
void ForgetClient(PipeServer* srv)
{
    if (srv->Pipe != INVALID_HANDLE_VALUE) {
        CancelIo(srv->Pipe);
        AwaitCancelled(&srv->ReadOverlapped);
        AwaitCancelled(&srv->WriteOverlapped);
    }
    srv->Listening = 0;
    srv->Ready = 0;
    srv->AccountRead = 0;
    srv->HasMessage = 0;
    srv->Writing = 0;
    srv->OutCount = 0;
    srv->OutFirst = 0;
    srv->OutBytes = 0;
    // After the cancelled operations completed, which signals the events. The write event is
    // not waited on while no write is pending (PipeSrvGetWriteEvent), so it may stay so.
    ResetEvent(srv->ReadOverlapped.hEvent);
}

void CloseInstance(PipeServer* srv)
{
    if (srv->Pipe == INVALID_HANDLE_VALUE)
        return;
    ForgetClient(srv);
    CloseHandle(srv->Pipe);
    srv->Pipe = INVALID_HANDLE_VALUE;
}

HANDLE CreateInstance(PipeServer* srv)
{
    DWORD size = static_cast<DWORD>(srv->BufferSize);
    DWORD outSize = srv->BufferSize > PIPE_MIN_OUT_BUFFER ? size : static_cast<DWORD>(PIPE_MIN_OUT_BUFFER);
    for (;;) {
        HANDLE pipe = CreateNamedPipeA(srv->PipeName, srv->OpenMode, srv->PipeMode, srv->MaxInstances, outSize, size,
                                       NMPWAIT_WAIT_FOREVER, GetOpenSecurityAttributes());
        if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_INVALID_PARAMETER)
            return pipe;
        if ((srv->PipeMode & PIPE_MODE_LOCAL_ONLY) != 0) {
            // Before Vista the flag is unknown and the call is refused; the DACL still denies
            // the NETWORK group there.
            TraceMessage("PipeCreate: no PIPE_REJECT_REMOTE_CLIENTS on this platform\n");
            srv->PipeMode &= ~PIPE_MODE_LOCAL_ONLY;
        } else if ((srv->OpenMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0) {
            // Before Windows 2000 SP2 likewise; the count of instances still tells.
            TraceMessage("PipeCreate: no FILE_FLAG_FIRST_PIPE_INSTANCE on this platform\n");
            srv->OpenMode &= ~FILE_FLAG_FIRST_PIPE_INSTANCE;
        } else {
            SetLastError(ERROR_INVALID_PARAMETER);
            return pipe;
        }
    }
}

// A client that connected before the connect was issued is taken up like a completed
// overlapped connect: success status in the OVERLAPPED and the event signalled.
void InstantConnection(PipeServer* srv)
{
    srv->ReadOverlapped.Internal = 0;
    srv->ReadOverlapped.InternalHigh = 0;
    SetEvent(srv->ReadOverlapped.hEvent);
}

// Issues the connect on a disconnected instance: 1 when it is outstanding or a client is
// already there.
int Listen(PipeServer* srv)
{
    for (int tries = 1;; ++tries) {
        ResetEvent(srv->ReadOverlapped.hEvent);
        srv->ReadOverlapped.Offset = 0;
        srv->ReadOverlapped.OffsetHigh = 0;
        if (ConnectNamedPipe(srv->Pipe, &srv->ReadOverlapped)) {
            LogMessage("\tTRUE? just connected .....\n");
            InstantConnection(srv);
            srv->Listening = 1;
            return 1;
        }
        DWORD err = GetLastError();
        LogMessage("\tConnectNamePipe -> 0 -> %lu (%08lx)\n", err, err);
        switch (err) {
        case ERROR_PIPE_CONNECTED:
            LogMessage("\tOKay, just connected .....\n");
            InstantConnection(srv);
            srv->Listening = 1;
            return 1;
        case ERROR_IO_PENDING:
        case ERROR_PIPE_LISTENING:
            LogMessage("\tPending ......\n");
            srv->Listening = 1;
            return 1;
        default:
            // The connect failed at once, so nothing is outstanding on the OVERLAPPED.
            srv->ReadOverlapped.Internal = 0;
            ResetEvent(srv->ReadOverlapped.hEvent);
            if (tries >= CONNECT_TRIES)
                return 0;
            DisconnectNamedPipe(srv->Pipe);
            break;
        }
    }
}

// The account of the client just attached owns the answers held from now on. Where the system
// lets a server impersonate only after the client has written, it is asked again at the first
// message (afterMessage); until then the account served before stays the owner.
void LearnAccount(PipeServer* srv, bool afterMessage)
{
    char text[PIPE_ACCOUNT_SIZE];
    DWORD err = 0;
    if (PipeClientAccount(srv->Pipe, text, sizeof text, &err)) {
        memcpy(srv->Account, text, sizeof text);
        TraceMessage("PipeSrv: client %u is account %s\n", static_cast<unsigned>(srv->Clients), srv->Account);
    } else if (err == ERROR_CANNOT_IMPERSONATE && !afterMessage) {
        return;
    } else {
        memcpy(srv->Account, PIPE_ACCOUNT_UNKNOWN, sizeof PIPE_ACCOUNT_UNKNOWN);
        TraceMessage("PipeSrv: client %u: its account cannot be read (error %lu), taken as '%s'\n",
                     static_cast<unsigned>(srv->Clients), err, PIPE_ACCOUNT_UNKNOWN);
    }
    srv->AccountRead = 1;
}

// Drops the current client, if any, and listens for the next one.
int ServeNext(PipeServer* srv)
{
    if (PipeCreate(srv))
        return 1;
    LogMessage("Error, can't create server again !\n");
    return 0;
}

// The queue's first message was taken by the pipe: the others move up.
void PopFirst(PipeServer* srv)
{
    uint32_t len = srv->OutLen[srv->OutFirst];
    srv->OutBytes -= len;
    memmove(srv->Out, srv->Out + len, srv->OutBytes);
    srv->OutFirst = (srv->OutFirst + 1) % PIPE_OUT_QUEUE_MESSAGES;
    --srv->OutCount;
}

// A client that closed its end is an ordinary departure, not a condition for the event log.
unsigned long DropEvent(DWORD err)
{
    return err == ERROR_BROKEN_PIPE || err == ERROR_NO_DATA || err == ERROR_PIPE_NOT_CONNECTED ? 0
                                                                                               : EVENT_CLIENT_DROPPED;
}

// A write found the client gone. A client that wrote its last message and closed its end at
// once has that message waiting in the completed read, which the bridge has not taken yet
// because the write came first in its pass: dropping the instance now would lose a command the
// client saw accepted. Then only the queue to the client goes; the instance stays until the
// bridge has read the message, and that read's next start finds the client gone and drops it.
// 1: the message was kept; 0: nothing waits and the client is to be dropped now.
int KeepLastMessage(PipeServer* srv)
{
    if (srv->Ready == 0)
        return 0;
    if (!srv->HasMessage) {
        if (!GetOverlappedResult(srv->Pipe, &srv->ReadOverlapped, &srv->Transferred, FALSE) || srv->Transferred == 0)
            return 0;
        srv->HasMessage = 1;
    }
    srv->Writing = 0;
    srv->OutCount = 0;
    srv->OutFirst = 0;
    srv->OutBytes = 0;
    LogMessage("PipeWrite: the client has gone; its last message of %lu bytes is still taken\n", srv->Transferred);
    return 1;
}

// Hands queued messages to the pipe until one has to wait for the client. The pending write
// reads its bytes from the start of Out, which stays put until it has completed. 1: the client
// is still served; 0: a write failed and the client was dropped.
int WriteQueued(PipeServer* srv)
{
    // Each reset of an event is a request to the Wine server. The write event is not reset here
    // at all: WriteFile unsignals it as it begins (the OVERLAPPED contract, and so under Wine),
    // and a write that completed at once leaves it signalled while the bridge waits on the rest
    // event instead (PipeSrvGetWriteEvent), so that it cannot spin the wait.
    while (!srv->Writing && srv->OutCount > 0) {
        srv->WriteOverlapped.Offset = 0;
        srv->WriteOverlapped.OffsetHigh = 0;
        DWORD written = 0;
        if (WriteFile(srv->Pipe, srv->Out, srv->OutLen[srv->OutFirst], &written, &srv->WriteOverlapped)) {
            TraceMessage("PipeWrite - instant -> %lu\n", written);
            PopFirst(srv);
            continue;
        }
        DWORD err = GetLastError();
        if (err == ERROR_IO_PENDING) {
            TraceMessage("PipeWrite -> overlapped, %lu queued ....\n", static_cast<unsigned long>(srv->OutCount));
            srv->Writing = 1;
            srv->WriteSince = GetTickCount();
            return 1;
        }
        srv->WriteOverlapped.Internal = 0;
        EventMessage(DropEvent(err), "PipeWrite error -> %lu (%08lx) -> drop the client\n", err, err);
        if (!KeepLastMessage(srv))
            ServeNext(srv);
        return 0;
    }
    return 1;
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
    srv->OpenMode = PIPE_OPEN_MODE;
    srv->PipeMode = PIPE_MODE_MESSAGE | PIPE_MODE_LOCAL_ONLY;
    srv->Pipe = INVALID_HANDLE_VALUE;
    srv->ReadOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    srv->WriteOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    srv->RestEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (srv->ReadOverlapped.hEvent == nullptr || srv->WriteOverlapped.hEvent == nullptr || srv->RestEvent == nullptr ||
        PipeCreate(srv) == 0) {
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
    if (srv->RestEvent != nullptr)
        CloseHandle(srv->RestEvent);
    free(srv);
}

HANDLE PipeSrvGetEvent(PipeServer* srv) { return srv == nullptr ? nullptr : srv->ReadOverlapped.hEvent; }

HANDLE PipeSrvGetWriteEvent(PipeServer* srv)
{
    if (srv == nullptr)
        return nullptr;
    return srv->Writing ? srv->WriteOverlapped.hEvent : srv->RestEvent;
}

int PipeCreate(PipeServer* srv)
{
    if (srv == nullptr)
        return 0;
    ForgetClient(srv);
    if (srv->Pipe != INVALID_HANDLE_VALUE) {
        // The instance is kept: closing it would free the name until the next one exists.
        // Disconnecting an instance that has no client fails harmlessly.
        DisconnectNamedPipe(srv->Pipe);
        LogMessage("PipeCreate '%s' -> %08lx, the same instance again\n", srv->PipeName, HandleValue(srv->Pipe));
        return Listen(srv);
    }

    srv->Pipe = CreateInstance(srv);
    DWORD err = GetLastError();
    LogMessage("PipeCreate '%s' -> %08lx\n", srv->PipeName, HandleValue(srv->Pipe));
    if (srv->Pipe == INVALID_HANDLE_VALUE) {
        LogMessage("INVALID_HANDLE_VALUE !!!!\n");
        // The first-instance flag refuses a name that exists (Windows: access denied), and so
        // does a name whose every instance slot is taken (pipe busy).
        if (err == ERROR_ACCESS_DENIED || err == ERROR_PIPE_BUSY) {
            SetLastError(err);
            EventMessage(EVENT_PIPE_TAKEN, "PipeCreate: the name '%s' is held by another program (error %lu): not served beside it\n",
                       srv->PipeName, err);
        }
        return 0;
    }
    // Where the first-instance flag is not enforced (Wine), ours is a further instance of a
    // name that already existed: serving beside that program would let clients reach it.
    DWORD instances = 0;
    if (GetNamedPipeHandleStateA(srv->Pipe, nullptr, &instances, nullptr, nullptr, nullptr, 0) && instances > 1) {
        CloseInstance(srv);
        SetLastError(ERROR_ALREADY_EXISTS);
        EventMessage(EVENT_PIPE_TAKEN, "PipeCreate: the name '%s' is held by another program (%lu instances): not served beside it\n",
                   srv->PipeName, instances);
        return 0;
    }
    // When the connect fails the instance is kept all the same: the name stays ours until
    // the periodic check connects it.
    return Listen(srv);
}

int PipeStart(PipeServer* srv)
{
    if (srv == nullptr)
        return 0;
    TraceMessage("PipeStart(Server=%p): Pipe=0x%08lx, Ready=%d\n", static_cast<void*>(srv), HandleValue(srv->Pipe),
                 static_cast<int>(srv->Ready));
    if (srv->Pipe == INVALID_HANDLE_VALUE || !srv->Listening)
        return 0;
    if (srv->Ready == 0)
        srv->Clients++;
    srv->Ready = 1;
    srv->HasMessage = 0;
    // ReadFile unsignals the event as it starts the read and signals it when the read
    // completes, at once or later (the OVERLAPPED contract, kept by Wine too), so neither a
    // reset nor a set of its own: each would be one more request to the Wine server per client
    // message.
    srv->ReadOverlapped.Offset = 0;
    srv->ReadOverlapped.OffsetHigh = 0;
    if (ReadFile(srv->Pipe, srv->Buffer, static_cast<DWORD>(srv->BufferSize), &srv->Transferred,
                 &srv->ReadOverlapped)) {
        TraceMessage("ReadFile (PIPE) -> OKAY ...\n");
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
    ResetEvent(srv->ReadOverlapped.hEvent);
    srv->Listening = 0;
    srv->Ready = 0;
    return 0;
}

int GotOverResult(PipeServer* srv)
{
    if (srv == nullptr)
        return -1;
    if (srv->Pipe == INVALID_HANDLE_VALUE || !srv->Listening)
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
        return ServeNext(srv) ? 0 : -1;
    }
    TraceMessage("GotOverResult(ready=%d) -> got %lu bytes ....\n", static_cast<int>(srv->Ready), srv->Transferred);
    if (srv->Ready == 0) {
        if (PipeStart(srv)) {
            LearnAccount(srv, false);
            return 0;
        }
        // Typically a first message too long for the buffer: that client is dropped too.
        return ServeNext(srv) ? 0 : -1;
    }
    if (srv->Transferred > 0) {
        if (!srv->AccountRead)
            LearnAccount(srv, true);
        srv->HasMessage = 1;
        return static_cast<int>(srv->Transferred);
    }
    LogMessage("Read ZERO bytes -> the other end ends ?\n");
    return ServeNext(srv) ? 0 : -1;
}

void PipeSrvSetTap(PipeTap tap) { Tap = tap; }

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
    if (Tap != nullptr)
        Tap(PIPE_TAP_FROM_CLIENT, srv->Buffer, srv->Transferred);
    if (n < srv->Transferred)
        TraceMessage("PipeSrvRead: message of %lu bytes cut to %u\n", srv->Transferred, n);
    if (PipeStart(srv))
        return static_cast<int>(n);
    // Typically the client wrote its last message and closed its end at once. The message is
    // whole and is delivered; the client is gone, so the instance listens for the next one now.
    LogMessage("PipeServRead OKAY, but Start error ...:-{\n");
    ServeNext(srv);
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
    if (PipeSrvWritten(srv) == 0)
        return -1;
    if (srv->OutCount >= PIPE_OUT_QUEUE_MESSAGES || len > PIPE_OUT_QUEUE_BYTES - srv->OutBytes) {
        EventMessage(EVENT_CLIENT_DROPPED, "PipeWrite: client's queue is full (%lu messages, %lu bytes) -> drop it\n",
                   static_cast<unsigned long>(srv->OutCount), static_cast<unsigned long>(srv->OutBytes));
        ServeNext(srv);
        return -1;
    }
    if (len > 0)
        memcpy(srv->Out + srv->OutBytes, msg, len);
    srv->OutLen[(srv->OutFirst + srv->OutCount) % PIPE_OUT_QUEUE_MESSAGES] = len;
    ++srv->OutCount;
    srv->OutBytes += len;
    if (Tap != nullptr)
        Tap(PIPE_TAP_TO_CLIENT, static_cast<const uint8_t*>(msg), len);
    return WriteQueued(srv) ? static_cast<int>(len) : -1;
}

int PipeSrvWritten(PipeServer* srv)
{
    if (srv == nullptr)
        return -1;
    if (!srv->Writing)
        return WriteQueued(srv);
    if (srv->WriteOverlapped.Internal == STATUS_PENDING_VALUE) {
        // One client that stops reading must not hold up the service, nor keep its queue
        // forever: after a while without progress it is treated as gone.
        // An unsigned difference of 32-bit tick counts stays right across their wrap (49.7 days).
        if (static_cast<DWORD>(GetTickCount() - srv->WriteSince) < PIPE_WRITE_TIMEOUT_MS)
            return 1;
        EventMessage(EVENT_CLIENT_DROPPED, "PipeWrite: client took nothing for %lu ms -> drop it\n", static_cast<unsigned long>(PIPE_WRITE_TIMEOUT_MS));
        ServeNext(srv);
        return 0;
    }
    DWORD written = 0;
    srv->Writing = 0;
    if (!GetOverlappedResult(srv->Pipe, &srv->WriteOverlapped, &written, FALSE)) {
        DWORD err = GetLastError();
        EventMessage(DropEvent(err), "GetOverlapped error -> %lu (%08lx) -> drop the client\n", err, err);
        if (!KeepLastMessage(srv))
            ServeNext(srv);
        return 0;
    }
    TraceMessage("GeOverOK -> got %lu\n", written);
    PopFirst(srv);
    return WriteQueued(srv);
}

int PipeSrvCheck(PipeServer* srv)
{
    if (srv == nullptr)
        return 1;
    PipeSrvWritten(srv);
    if (srv->Pipe != INVALID_HANDLE_VALUE && srv->Listening)
        return 1;
    return ServeNext(srv);
}
