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
    DULVEX_E_SYSTEM = -10,       /* any other system failure; see LastError */
    DULVEX_E_UNDELIVERED = -11   /* a notice from the service: see DulvexMessage Reason */
};

/* Control messages: mask DULVEX_CONTROL alone selects no application. */
#define DULVEX_CONTROL 0x80
#define DULVEX_CTL_ANNOUNCE 0x7F01u
#define DULVEX_CTL_HEALTH 0x7F02u
#define DULVEX_CTL_WELCOME 0xFF01u
#define DULVEX_CTL_NOTICE 0xFF02u
#define DULVEX_CTL_HEALTH_ANSWER 0xFF03u

/* Reasons of a notice (DULVEX_E_UNDELIVERED). */
#define DULVEX_UNDELIVERED_QUEUE_FULL 1   /* the link's queue was full: refused at once */
#define DULVEX_UNDELIVERED_GIVEN_UP 2     /* the terminal did not acknowledge it after the retries */
#define DULVEX_UNDELIVERED_LINK 3         /* the link refused it for another reason */
#define DULVEX_HELD_DROPPED_AGE 4         /* held answers dropped for age (Count of them) */
#define DULVEX_HELD_DROPPED_COUNT 5       /* held answers dropped for count, oldest first */

/* Text of a notice's reason; never NULL. */
const char* DulvexReasonText(int reason);

/* Link health states. */
#define DULVEX_LINK_UNKNOWN 0
#define DULVEX_LINK_ANSWERING 1
#define DULVEX_LINK_RETRYING 2
#define DULVEX_LINK_NOT_ANSWERING 3
#define DULVEX_NEVER 0xFFFFFFFFu

typedef struct DulvexAppHealth {
    uint8_t Mask;            /* the application's bit */
    uint8_t State;           /* DULVEX_LINK_ */
    uint32_t SinceMs;        /* milliseconds in that state, or DULVEX_NEVER */
    uint32_t Sent, Received, Retransmitted, GivenUp;  /* frames since the service started */
    uint8_t Queue;           /* frames waiting in the link, the one in flight included */
    uint32_t LastHeardMs;    /* milliseconds since the terminal's last frame, or DULVEX_NEVER */
} DulvexAppHealth;

typedef struct DulvexHealth {
    int Count;  /* applications: 5 */
    DulvexAppHealth Apps[8];
} DulvexHealth;

/* Text of a result code: "ok" or a short sentence; never NULL. */
const char* DulvexResultText(int result);

/* One message from the service: one packet of one application. */
typedef struct DulvexMessage {
    uint8_t Mask;       /* the sending application's bit */
    uint16_t Cmd;
    int HasStatus;      /* 1 when Cmd has DULVEX_CMD_RESPONSE */
    uint16_t Status;    /* meaningful only with HasStatus */
    /* For DULVEX_E_UNDELIVERED: Mask and Cmd name the application and command, Reason is a
     * DULVEX_UNDELIVERED_ or DULVEX_HELD_ code and Count how many it concerns. */
    uint16_t Reason;
    uint32_t Count;
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

/* The announcement (mask 0x80, command 0x7F01, version byte 1) and the health request (mask 0x80,
 * command 0x7F02); each returns the length. */
int DulvexEncodeAnnounce(uint8_t* out, size_t outSize);
int DulvexEncodeHealthRequest(uint8_t* out, size_t outSize);

/* Sorts a decoded message from the service: 0 an application's message; DULVEX_E_UNDELIVERED a
 * notice, turned into Mask, Cmd, Reason and Count; 1 the welcome; 2 a health answer (decoded
 * into health when given); DULVEX_E_PROTOCOL a control message this library does not know. */
int DulvexSortMessage(DulvexMessage* msg, DulvexHealth* health);

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
    int Announced;       /* the announcement was sent */
    int Welcomed;        /* the service answered it: it gives notices and held answers */
    uint32_t HeldAtWelcome; /* answers the service held for this client */
    /* Messages that came while DulvexLinkHealth waited, for the next DulvexReceive. */
    int StashFirst;
    int StashCount;
    uint32_t StashLen[4];
    uint8_t Stash[4][DULVEX_MAX_RECEIVE];
    /* One read stays outstanding across DulvexReceive calls, so a time-out loses nothing. */
    uint8_t ReadBuffer[2048];
} DulvexClient;

/* Connects to pipeName (NULL: DULVEX_PIPE_NAME), waiting up to timeoutMs while another client
 * is served or while the service prepares for the next client. Returns DULVEX_OK or a
 * negative code. */
int DulvexConnect(DulvexClient* client, const char* pipeName, uint32_t timeoutMs);

/* DulvexConnect announces itself to the service: the service then tells of commands it could not
 * deliver (DulvexReceive returns DULVEX_E_UNDELIVERED) and hands over the answers it held while
 * no client was connected. DULVEX_CONNECT_PLAIN connects without the announcement, and the
 * client receives exactly the messages of services that do not know it. */
#define DULVEX_CONNECT_PLAIN 1
int DulvexConnectEx(DulvexClient* client, const char* pipeName, uint32_t timeoutMs, unsigned flags);

/* Asks the service for link health and waits up to timeoutMs for it. Up to 4 other messages that
 * arrive meanwhile are kept, in order, for DulvexReceive. With 4 kept it reads no further and
 * returns DULVEX_E_BUSY (at once when they were kept by an earlier call): receive them, then ask
 * again. Nothing read is lost; an answer that comes later is taken in passing. Works with or
 * without the announcement. */
int DulvexLinkHealth(DulvexClient* client, DulvexHealth* health, uint32_t timeoutMs);

/* Closes the connection; the record can be connected again. */
void DulvexClose(DulvexClient* client);

/* Sends one packet. Returns the bytes written, or a negative code. */
int DulvexSendPacket(DulvexClient* client, uint8_t mask, uint16_t cmd, uint16_t status, const void* data, size_t len);

/* Sends a capture record with the given time stamp; DulvexSendCaptureNow stamps it with the
 * current time. Returns the bytes written, or a negative code. */
int DulvexSendCapture(DulvexClient* client, uint32_t stampSec, uint32_t stampMsec, const char* text);
int DulvexSendCaptureNow(DulvexClient* client, const char* text);

/* Waits up to timeoutMs for the next message. Returns its length in bytes, or a negative
 * code (DULVEX_E_TIMEOUT leaves the connection usable). DULVEX_E_UNDELIVERED is a notice: msg
 * names the command that will not be answered and why; the connection stays usable. The
 * service's welcome and health answers are taken in passing. */
int DulvexReceive(DulvexClient* client, DulvexMessage* msg, uint32_t timeoutMs);
#endif

#ifdef __cplusplus
}
#endif

#endif
