// The service's end of the client pipe: one overlapped message-mode pipe instance, one client at
// a time, with exactly one connect or read outstanding on it. Windows only.
//
// Use, from one thread:
//   srv = PipeSrvCreate(name, 600, 0);         // none: the pipe cannot be served
//   wait on PipeSrvGetEvent(srv) with the other handles;
//   when it is signalled: n = GotOverResult(srv); when n > 0, PipeSrvRead(srv, buf, size)
//     before the next wait (the event stays signalled until then);
//   PipeWrite(srv, msg, len) for every message to the client;
//   PipeSrvCheck(srv) on every quiet wait time-out (re-creates a missing instance);
//   PipeSrvDestroy(srv) at the end.
#pragma once

#include <windows.h>

#include <cstdint>

// Open mode: PIPE_ACCESS_DUPLEX with FILE_FLAG_OVERLAPPED.
constexpr DWORD PIPE_OPEN_MODE = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
// Pipe mode: message type, message read mode, blocking (the overlapped flag makes it
// asynchronous anyway).
constexpr DWORD PIPE_MODE_MESSAGE = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
// Added where the platform knows it (Vista and later): refuse clients from other machines.
constexpr DWORD PIPE_MODE_LOCAL_ONLY = 0x00000008;  // PIPE_REJECT_REMOTE_CLIENTS
constexpr int32_t PIPE_DEFAULT_INSTANCES = 2;
// Outbound buffer of the pipe, at least. A message to the client may be longer than the
// receive buffer (a full reply has its header on top of the data), and a write that does not
// fit waits until the client reads; this leaves room for a burst of full replies, so that the
// service's single thread does not wait on a client that is merely a little slow.
constexpr int32_t PIPE_MIN_OUT_BUFFER = 8192;
// How long PipeWrite waits for a client to take a message before it drops that client.
constexpr DWORD PIPE_WRITE_TIMEOUT_MS = 3000;

struct PipeServer {
    char* PipeName;          // private copy, in the same block as the record
    int32_t MaxInstances;    // the creator's value, 2 for 0
    HANDLE Pipe;             // INVALID_HANDLE_VALUE when no instance exists
    int32_t Ready;           // 1: a client is attached and a read was started
    DWORD Transferred;       // byte count of the last connect or read completed
    OVERLAPPED ReadOverlapped;   // connect and read; its event is the server event
    OVERLAPPED WriteOverlapped;  // PipeWrite only
    int32_t BufferSize;      // receive buffer, read request and inbound pipe buffer
    uint8_t* Buffer;         // in the same block as the record
    DWORD PipeMode;          // loses PIPE_MODE_LOCAL_ONLY when the platform refuses it
    int32_t HasMessage;      // 1 from a completed read's GotOverResult n > 0 until PipeSrvRead
};

// The new server waiting for a client, or nullptr when memory is short, the arguments are
// unusable or the first instance cannot be created. maxInstances 0 means 2.
PipeServer* PipeSrvCreate(const char* name, int32_t bufferSize, int32_t maxInstances);
void PipeSrvDestroy(PipeServer* srv);
// The manual-reset event signalled when the outstanding connect or read has completed.
HANDLE PipeSrvGetEvent(PipeServer* srv);

// Used inside the server only; exposed for its tests.
// 1: an instance exists and waits for, or already has, a client; 0: failure.
int PipeCreate(PipeServer* srv);
// 1: a read is outstanding or already complete; 0: failure, the instance is closed.
int PipeStart(PipeServer* srv);

// Takes up a completion: -1 failure (or no server), 0 nothing for the caller, n > 0 a client
// message of n bytes waits in Buffer.
int GotOverResult(PipeServer* srv);
// Copies out up to size bytes of the waiting message and starts the next read (when that
// fails, the client is gone: the bytes copied are still returned and a new instance is
// created). With no destination: the size of the waiting message, without side effects.
// 0: no message waits. -1: no server.
int PipeSrvRead(PipeServer* srv, void* dest, uint32_t size);
// Writes one whole message: bytes written; 0 discarded (no client); -1 failure. A client that
// leaves a message untaken for PIPE_WRITE_TIMEOUT_MS is dropped (-1).
int PipeWrite(PipeServer* srv, const void* msg, uint32_t len);
// 1: an instance exists (or no server); 0: it was missing and could not be created.
int PipeSrvCheck(PipeServer* srv);
