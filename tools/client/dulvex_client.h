/* Client library for the Dulvex payment terminal service.
 *
 * The service serves one local client at a time on the named pipe "\\.\pipe\varnok\Dulvex".
 * A client sends packets to any combination of the terminal's five applications and receives
 * one message per packet that an application sends, tagged with that application's bit.
 * Plain C and Win32; no other dependency. One DulvexClient per thread.
 *
 * Results: a value >= 0 is success (a byte count where the function says so), a negative value
 * is one of the DULVEX_E_ codes; DulvexResultText names it. After a failure that came from the
 * system, DulvexClient.LastError holds the system's error code.
 *
 * The message encoders and decoder touch no operating system and build anywhere. */
#ifndef DULVEX_CLIENT_H
#define DULVEX_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DULVEX_PIPE_NAME "\\\\.\\pipe\\varnok\\Dulvex"

/* Application bits of the mask byte. */
#define DULVEX_APP_MASTER 0x01
#define DULVEX_APP_MBCA 0x02
#define DULVEX_APP_MAINT 0x04
#define DULVEX_APP_FLEET 0x08
#define DULVEX_APP_PETRO 0x10
#define DULVEX_APP_ALL 0x1F

/* A command with this bit is a response and carries a 16-bit status. */
#define DULVEX_CMD_RESPONSE 0x8000u

/* The service reads at most this many bytes of one client message; anything longer makes it
 * drop the client. */
#define DULVEX_MAX_SEND 600
/* Data bytes of one packet from an application. */
#define DULVEX_MAX_DATA 600
/* Longest message the service writes: mask, command, status, data. */
#define DULVEX_MAX_RECEIVE (5 + DULVEX_MAX_DATA)
/* Text of one capture record: what is left after the header and the time stamp. */
#define DULVEX_MAX_CAPTURE_TEXT (DULVEX_MAX_SEND - 3 - 8)

/* Waits for ever. */
#define DULVEX_INFINITE 0xFFFFFFFFu

enum DulvexResult {
    DULVEX_OK = 0,
    DULVEX_E_ARGUMENT = -1,      /* bad argument: no client, mask 0 for a packet, ... */
    DULVEX_E_NOT_CONNECTED = -2, /* the client is not connected */
    DULVEX_E_NO_SERVICE = -3,    /* the pipe does not exist: the service does not run */
    DULVEX_E_BUSY = -4,          /* another client is being served */
    DULVEX_E_TIMEOUT = -5,       /* nothing within the time given */
    DULVEX_E_DISCONNECTED = -6,  /* the service closed the connection */
    DULVEX_E_TOO_LONG = -7,      /* the message does not fit */
    DULVEX_E_ACCESS = -8,        /* the system refused access to the pipe */
    DULVEX_E_PROTOCOL = -9,      /* the service sent a message this library cannot decode */
    DULVEX_E_SYSTEM = -10        /* any other system failure; see LastError */
};

/* Text of a result code: "ok" or a short sentence; never NULL. */
const char* DulvexResultText(int result);

/* One message from the service: one packet of one application. */
typedef struct DulvexMessage {
    uint8_t Mask;       /* the sending application's bit */
    uint16_t Cmd;
    int HasStatus;      /* 1 when Cmd has DULVEX_CMD_RESPONSE */
    uint16_t Status;    /* meaningful only with HasStatus */
    uint32_t Len;
    uint8_t Data[DULVEX_MAX_DATA];
} DulvexMessage;

/* Encodes a packet for the applications in mask (not 0) into out: mask, big-endian command,
 * the big-endian status only when cmd has DULVEX_CMD_RESPONSE, then the data. Returns the
 * length, or DULVEX_E_ARGUMENT / DULVEX_E_TOO_LONG (more than DULVEX_MAX_SEND bytes, or more
 * than outSize). */
int DulvexEncodePacket(uint8_t* out, size_t outSize, uint8_t mask, uint16_t cmd, uint16_t status, const void* data,
                       size_t len);

/* Encodes a capture record: mask 0, command 0, then the big-endian seconds since 1970 and
 * milliseconds of the time stamp, then the text (not terminated). */
int DulvexEncodeCapture(uint8_t* out, size_t outSize, uint32_t stampSec, uint32_t stampMsec, const char* text,
                        size_t textLen);

/* Decodes one message of len bytes from the service. Returns len, or DULVEX_E_PROTOCOL when
 * it is shorter than its header or has more data than a packet holds. */
int DulvexDecodeMessage(const uint8_t* bytes, size_t len, DulvexMessage* msg);

#ifdef _WIN32
#include <windows.h>

/* The connection. Treat the fields as read-only; zero it before the first DulvexConnect. */
typedef struct DulvexClient {
    HANDLE Pipe;         /* INVALID_HANDLE_VALUE or NULL when not connected */
    OVERLAPPED ReadOverlapped;
    OVERLAPPED WriteOverlapped;
    int ReadPending;     /* a read is outstanding into ReadBuffer */
    DWORD LastError;     /* system error code of the last failure that came from the system */
    uint32_t SendTimeoutMs;
    /* One read stays outstanding across DulvexReceive calls, so a time-out loses nothing. */
    uint8_t ReadBuffer[2048];
} DulvexClient;

/* Connects to pipeName (NULL: DULVEX_PIPE_NAME), waiting up to timeoutMs while another client
 * is served or while the service prepares for the next client. Returns DULVEX_OK or a
 * negative code. */
int DulvexConnect(DulvexClient* client, const char* pipeName, uint32_t timeoutMs);

/* Closes the connection; the record can be connected again. */
void DulvexClose(DulvexClient* client);

/* Sends one packet. Returns the bytes written, or a negative code. */
int DulvexSendPacket(DulvexClient* client, uint8_t mask, uint16_t cmd, uint16_t status, const void* data, size_t len);

/* Sends a capture record with the given time stamp; DulvexSendCaptureNow stamps it with the
 * current time. Returns the bytes written, or a negative code. */
int DulvexSendCapture(DulvexClient* client, uint32_t stampSec, uint32_t stampMsec, const char* text);
int DulvexSendCaptureNow(DulvexClient* client, const char* text);

/* Waits up to timeoutMs for the next message. Returns its length in bytes, or a negative
 * code (DULVEX_E_TIMEOUT leaves the connection usable). */
int DulvexReceive(DulvexClient* client, DulvexMessage* msg, uint32_t timeoutMs);
#endif

#ifdef __cplusplus
}
#endif

#endif
