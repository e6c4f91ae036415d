// The service's end of the client pipe: one overlapped message-mode pipe instance, one client at
// a time, with exactly one connect or read outstanding on it, and a bounded queue of messages
// to the client written by overlapped writes that never wait. Windows only.
//
// Use, from one thread:
//   srv = PipeSrvCreate(name, 600, 0);         // none: the pipe cannot be served
//   wait on PipeSrvGetEvent(srv) and PipeSrvGetWriteEvent(srv) (asked anew before every wait)
//     with the other handles;
//   when the first is signalled: n = GotOverResult(srv); when n > 0, PipeSrvRead(srv, buf, size)
//     before the next wait (the event stays signalled until then);
//   when the second is signalled: PipeSrvWritten(srv);
//   PipeWrite(srv, msg, len) for every message to the client (queued, never waits);
//   PipeSrvCheck(srv) at least every 100 ms (drops a client that takes nothing, re-arms the
//     instance);
//   PipeSrvDestroy(srv) at the end.
//
// The instance is created once, as the first instance of its name, and kept until
// PipeSrvDestroy: between clients it is disconnected and listens again, so that the name never
// stops existing while the server runs and no other program can create it in between.
#pragma once

#include <windows.h>

#include <cstdint>

// Open mode: PIPE_ACCESS_DUPLEX with FILE_FLAG_OVERLAPPED; every creation also asks to be the
// first instance of the name, so that a server never starts beside a program that holds it.
constexpr DWORD PIPE_OPEN_MODE = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
// Pipe mode: message type, message read mode, blocking (the overlapped flag makes it
// asynchronous anyway).
constexpr DWORD PIPE_MODE_MESSAGE = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
// Added where the platform knows it (Vista and later): refuse clients from other machines.
constexpr DWORD PIPE_MODE_LOCAL_ONLY = 0x00000008;  // PIPE_REJECT_REMOTE_CLIENTS
// One instance, reused for every client: no free slot is left for another creator of the name.
constexpr int32_t PIPE_DEFAULT_INSTANCES = 1;
// Outbound buffer of the pipe, at least. A message to the client may be longer than the
// receive buffer (a full reply has its header on top of the data); this leaves room for a
// burst of full replies before messages wait in the server's own queue.
constexpr int32_t PIPE_MIN_OUT_BUFFER = 8192;
// A client that takes nothing from the pipe for this long while a message waits is dropped.
constexpr DWORD PIPE_WRITE_TIMEOUT_MS = 3000;
// Bounds of the queue of messages to the client that the pipe has not taken yet; a client whose
// queue would pass either is dropped.
constexpr uint32_t PIPE_OUT_QUEUE_MESSAGES = 256;
constexpr uint32_t PIPE_OUT_QUEUE_BYTES = 65536;

struct PipeServer {
    char* PipeName;          // private copy, in the same block as the record
    int32_t MaxInstances;    // the creator's value, 1 for 0
    HANDLE Pipe;             // INVALID_HANDLE_VALUE only when no instance could be created
    int32_t Listening;       // 1: a connect or read is outstanding (or complete) on ReadOverlapped
    int32_t Ready;           // 1: a client is attached and a read was started
    DWORD Transferred;       // byte count of the last connect or read completed
    OVERLAPPED ReadOverlapped;   // connect and read; its event is the server event
    OVERLAPPED WriteOverlapped;  // the write of the queue's first message
    int32_t BufferSize;      // receive buffer, read request and inbound pipe buffer
    uint8_t* Buffer;         // in the same block as the record
    DWORD OpenMode;          // loses FILE_FLAG_FIRST_PIPE_INSTANCE when the platform refuses it
    DWORD PipeMode;          // loses PIPE_MODE_LOCAL_ONLY when the platform refuses it
    int32_t HasMessage;      // 1 from a completed read's GotOverResult n > 0 until PipeSrvRead
    uint32_t Clients;        // clients attached so far: a change means another client
    // Queue to the client: OutCount messages back to back from Out[0], their sizes in OutLen
    // from OutFirst on (a ring); the first one is being written while Writing is 1.
    int32_t Writing;
    HANDLE RestEvent;        // never signalled: the bridge's write handle while nothing is pending
    DWORD WriteSince;        // tick count when the pending write started waiting for the client;
                             // unsigned differences stay right across its wrap after 49.7 days
    uint32_t OutCount;
    uint32_t OutFirst;
    uint32_t OutBytes;
    uint32_t OutLen[PIPE_OUT_QUEUE_MESSAGES];
    uint8_t Out[PIPE_OUT_QUEUE_BYTES];
};

// The new server waiting for a client, or nullptr when memory is short, the arguments are
// unusable or the first instance cannot be created (also when the name already exists: then
// the reason is logged, as an event too when the process runs as a service).
// maxInstances 0 means PIPE_DEFAULT_INSTANCES.
PipeServer* PipeSrvCreate(const char* name, int32_t bufferSize, int32_t maxInstances);
void PipeSrvDestroy(PipeServer* srv);
// The manual-reset event signalled when the outstanding connect or read has completed.
HANDLE PipeSrvGetEvent(PipeServer* srv);
// The handle to wait on for the writes, to be asked before every wait: while a write waits for
// the client, the manual-reset event signalled when it completes; otherwise an event that never
// signals (a write that completed at once signalled the write event, which is left so).
HANDLE PipeSrvGetWriteEvent(PipeServer* srv);

// Used inside the server only; exposed for its tests.
// Ends the current client, if any (its queue is discarded), and makes the instance listen for
// the next; creates the instance when there is none. 1: it listens or a client is already
// attached; 0: failure (PipeSrvCheck tries again).
int PipeCreate(PipeServer* srv);
// 1: a read is outstanding or already complete; 0: failure, the client was dropped.
int PipeStart(PipeServer* srv);

// Takes up a completion: -1 failure (or no server), 0 nothing for the caller, n > 0 a client
// message of n bytes waits in Buffer.
int GotOverResult(PipeServer* srv);
// Copies out up to size bytes of the waiting message and starts the next read (when that
// fails, the client is gone: the bytes copied are still returned and the instance listens
// again). With no destination: the size of the waiting message, without side effects.
// 0: no message waits. -1: no server.
int PipeSrvRead(PipeServer* srv, void* dest, uint32_t size);
// Queues one whole message for the client and writes what the pipe takes now; never waits.
// len: queued; 0 discarded (no client); -1 the client was dropped (its queue would pass a
// bound, or a write failed) or the arguments are unusable.
int PipeWrite(PipeServer* srv, const void* msg, uint32_t len);
// Takes up a completed write and writes on; drops a client that took nothing for
// PIPE_WRITE_TIMEOUT_MS. 1: the client (if any) is still served; 0: it was dropped;
// -1: no server.
int PipeSrvWritten(PipeServer* srv);
// PipeSrvWritten, then re-arms an instance that does not listen. 1: the instance listens or
// serves (or no server); 0: it could not be made to.
int PipeSrvCheck(PipeServer* srv);

// Every message read from the client (PIPE_TAP_FROM_CLIENT, whole, before it is cut to the
// reader's buffer) and every message queued for it (PIPE_TAP_TO_CLIENT) goes to the tap, when
// one is set: the pipe moves bytes, what they mean is its user's business.
enum PipeTapWay { PIPE_TAP_FROM_CLIENT = 0, PIPE_TAP_TO_CLIENT = 1 };
using PipeTap = void (*)(int way, const uint8_t* msg, size_t len);
void PipeSrvSetTap(PipeTap tap);
