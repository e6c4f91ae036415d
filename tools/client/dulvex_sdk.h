/* Dulvex SDK: the client of the Dulvex payment terminal service as a DLL (dulvex.dll).
 *
 * The service serves one local client at a time on the named pipe "\\.\pipe\varnok\Dulvex". A
 * client sends packets to any combination of the terminal's five applications and receives one
 * message per packet that an application sends, tagged with that application's bit.
 *
 * Link with libdulvex.dll.a (MinGW) or dulvex.lib (MSVC); dulvex.dll goes beside the program.
 * Every function uses the C calling convention (__cdecl) and is exported by its plain name.
 * This header needs no other header of the system besides <stdint.h>.
 *
 * Results: a value >= 0 is success (a byte count where the function says so), a negative value
 * is one of the DULVEX_SDK_E_ codes; DulvexSdkResultText names it. After a failure that came from
 * the system, DulvexSdkLastError gives the system's error code.
 *
 * Thread rules:
 * - Sessions are independent: any number of threads may each use their own session.
 * - Within one session, one thread may send while another receives: sends are serialised among
 *   themselves, and so are receives (DulvexSdkReceive, DulvexSdkReceiveHandle). DulvexSdkLinkHealth
 *   both sends and receives: it waits for either in progress.
 * - DulvexSdkConnect and DulvexSdkClose wait for a send or receive in progress on another thread,
 *   so a receive without a time-out (DULVEX_SDK_INFINITE) holds them up until a message comes:
 *   use a time-out, or the waitable handle, in a thread that may be asked to stop.
 * - DulvexSdkFree must be the last call on a session, made when no other thread uses it.
 * - The waitable handle may be waited on by any thread (WaitForSingleObject,
 *   WaitForMultipleObjects, RegisterWaitForSingleObject); it belongs to the session: never close
 *   it. DulvexSdkClose and DulvexSdkFree close it, so call them only once no thread waits on it
 *   (wake a waiter with an event of your own first), and ask for it again after a new connect.
 * - On Windows, a read is cancelled when the thread that started it ends. The session then starts
 *   a new one on the next receive, and nothing is lost; the handle may fire once with nothing to
 *   take (DulvexSdkReceive with time-out 0 gives DULVEX_SDK_E_TIMEOUT: wait again).
 * - DulvexSdkReceiveAsync calls back on a thread of the session's own, which lives from the first
 *   such call until DulvexSdkClose, DulvexSdkConnect or DulvexSdkFree. Those three cancel an
 *   outstanding one (its callback gets DULVEX_SDK_E_CANCELLED before they return) and wait for a
 *   callback that is running: never call them from inside a callback. Any other function may be
 *   called there, DulvexSdkReceiveAsync for the next message included. Do not mix asynchronous
 *   and waiting receives on one session: a message goes to whichever asked first.
 * - DulvexSdkLastError reports the latest failure of either direction. */
#ifndef DULVEX_SDK_H
#define DULVEX_SDK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(DULVEX_SDK_BUILD)
#define DULVEX_SDK_API __declspec(dllimport)
#else
#define DULVEX_SDK_API
#endif
#ifdef _WIN32
#define DULVEX_SDK_CALL __cdecl
#else
#define DULVEX_SDK_CALL
#endif

/* This header's version: major << 16 | minor << 8 | patch. DulvexSdkVersion gives the DLL's. */
#define DULVEX_SDK_VERSION 0x010100u

#define DULVEX_SDK_PIPE_NAME "\\\\.\\pipe\\varnok\\Dulvex"

/* Application bits of the mask. */
#ifndef DULVEX_APP_MASTER
#define DULVEX_APP_MASTER 0x01
#define DULVEX_APP_MBCA 0x02
#define DULVEX_APP_MAINT 0x04
#define DULVEX_APP_FLEET 0x08
#define DULVEX_APP_PETRO 0x10
#define DULVEX_APP_ALL 0x1F
#endif

/* A command with this bit is a response and carries a 16-bit status. */
#define DULVEX_SDK_CMD_RESPONSE 0x8000u
/* Data bytes of one packet, in either direction (less 2 for a response to an application). */
#define DULVEX_SDK_MAX_DATA 600
/* Waits for ever. */
#define DULVEX_SDK_INFINITE 0xFFFFFFFFu

#define DULVEX_SDK_OK 0
#define DULVEX_SDK_E_ARGUMENT (-1)      /* bad argument: no session, mask 0 for a packet, ... */
#define DULVEX_SDK_E_NOT_CONNECTED (-2) /* the session is not connected */
#define DULVEX_SDK_E_NO_SERVICE (-3)    /* the pipe does not exist: the service does not run */
#define DULVEX_SDK_E_BUSY (-4)          /* another client is being served */
#define DULVEX_SDK_E_TIMEOUT (-5)       /* nothing within the time given */
#define DULVEX_SDK_E_DISCONNECTED (-6)  /* the service closed the connection */
#define DULVEX_SDK_E_TOO_LONG (-7)      /* the message does not fit */
#define DULVEX_SDK_E_ACCESS (-8)        /* the system refused access to the pipe */
#define DULVEX_SDK_E_PROTOCOL (-9)      /* the service sent a message this library cannot decode */
#define DULVEX_SDK_E_SYSTEM (-10)       /* any other system failure; see DulvexSdkLastError */
#define DULVEX_SDK_E_NO_MEMORY (-11)    /* a session could not be allocated */
#define DULVEX_SDK_E_PENDING (-12)      /* an asynchronous receive is already outstanding */
#define DULVEX_SDK_E_CANCELLED (-13)    /* the session was closed before a message came */
#define DULVEX_SDK_E_UNDELIVERED (-14)  /* not a failure: a notice from the service, see below */
#define DULVEX_SDK_E_KEPT (-15)         /* messages kept by DulvexSdkLinkHealth wait to be received */

/* Reasons of a notice (DULVEX_SDK_E_UNDELIVERED), in the message's Status. */
#define DULVEX_SDK_NOTICE_QUEUE_FULL 1   /* the link's queue was full: refused at once */
#define DULVEX_SDK_NOTICE_GIVEN_UP 2     /* the terminal did not acknowledge it after the retries */
#define DULVEX_SDK_NOTICE_LINK 3         /* the link refused it for another reason */
#define DULVEX_SDK_NOTICE_HELD_AGE 4     /* held answers dropped for age */
#define DULVEX_SDK_NOTICE_HELD_COUNT 5   /* held answers dropped for count, oldest first */

/* DulvexSdkConnectEx's flags. Without flags a session announces itself: the service then tells it
 * of commands it could not deliver and hands it the answers it held while no client was there.
 * DULVEX_SDK_CONNECT_PLAIN connects without the announcement: the session receives exactly the
 * bytes of a service that knows nothing of it (no notice, no held answer). */
#define DULVEX_SDK_CONNECT_PLAIN 1u

/* One message from the service: one packet of one application. 608 bytes, no padding.
 * A notice (DULVEX_SDK_E_UNDELIVERED) fills it as: Mask and Cmd the application and the command
 * that will not be answered, Status the reason (DULVEX_SDK_NOTICE_), HasStatus 0, Len 4 and Data
 * the count (1 for a command, the number dropped for held answers), read by
 * DULVEX_SDK_NOTICE_COUNT. */
typedef struct DulvexSdkMessage {
    uint8_t Mask;      /* the sending application's bit */
    uint8_t HasStatus; /* 1 when Cmd has DULVEX_SDK_CMD_RESPONSE */
    uint16_t Cmd;
    uint16_t Status;   /* meaningful only with HasStatus */
    uint16_t Len;      /* bytes in Data */
    uint8_t Data[DULVEX_SDK_MAX_DATA];
} DulvexSdkMessage;

#define DULVEX_SDK_NOTICE_COUNT(msg)                                                                 \
    ((uint32_t)(msg)->Data[0] << 24 | (uint32_t)(msg)->Data[1] << 16 | (uint32_t)(msg)->Data[2] << 8 | \
     (uint32_t)(msg)->Data[3])

/* Link health of one application. 28 bytes, no padding. */
typedef struct DulvexSdkAppHealth {
    uint8_t Mask;           /* the application's bit */
    uint8_t State;          /* 0 unknown, 1 answering, 2 retrying, 3 not answering */
    uint8_t Queue;          /* frames waiting in the link, the one in flight included */
    uint8_t Reserved;
    uint32_t SinceMs;       /* milliseconds in that state, or DULVEX_SDK_INFINITE when unknown */
    uint32_t Sent;          /* data frames the service started since it started, its own included */
    uint32_t Received;      /* data frames accepted from the terminal */
    uint32_t Retransmitted; /* retransmissions of data frames */
    uint32_t GivenUp;       /* data frames given up after the retries */
    uint32_t LastHeardMs;   /* milliseconds since the terminal's last datagram, or DULVEX_SDK_INFINITE */
} DulvexSdkAppHealth;

typedef struct DulvexSdkHealth {
    uint32_t Count;  /* applications: 5 */
    DulvexSdkAppHealth Apps[8];
} DulvexSdkHealth;

/* A connection to the service, opaque. */
typedef struct DulvexSession DulvexSession;

/* The DLL's version, in the form of DULVEX_SDK_VERSION. */
DULVEX_SDK_API uint32_t DULVEX_SDK_CALL DulvexSdkVersion(void);

/* Text of a result code: "ok" or a short sentence in English; never NULL, never to be freed. */
DULVEX_SDK_API const char* DULVEX_SDK_CALL DulvexSdkResultText(int result);

/* A new, unconnected session, or NULL when memory is short. */
DULVEX_SDK_API DulvexSession* DULVEX_SDK_CALL DulvexSdkCreate(void);

/* Closes the session's connection, if any, and frees it. NULL is ignored. */
DULVEX_SDK_API void DULVEX_SDK_CALL DulvexSdkFree(DulvexSession* session);

/* Connects to pipeName (NULL: DULVEX_SDK_PIPE_NAME), waiting up to timeoutMs while another
 * client is served or while the service prepares for the next client, and announces the session
 * (see DULVEX_SDK_CONNECT_PLAIN). A connected session is closed first. The send time-out is kept.
 * Returns DULVEX_SDK_OK or a negative code. */
DULVEX_SDK_API int DULVEX_SDK_CALL DulvexSdkConnect(DulvexSession* session, const char* pipeName,
                                                    uint32_t timeoutMs);

/* DulvexSdkConnect with flags: 0 (the same as DulvexSdkConnect) or DULVEX_SDK_CONNECT_PLAIN. */
DULVEX_SDK_API int DULVEX_SDK_CALL DulvexSdkConnectEx(DulvexSession* session, const char* pipeName,
                                                      uint32_t timeoutMs, uint32_t flags);

/* The service's welcome, taken in passing by the receives: 1 when it came (*held, if given, is the
 * number of held answers it announced, which the next receives return first), 0 while it has not
 * (or never will: a plain session, or a service from before the announcement), or a negative
 * code. Any thread may call it. */
DULVEX_SDK_API int DULVEX_SDK_CALL DulvexSdkWelcome(const DulvexSession* session, uint32_t* held);

/* Asks the service for each application's link health and waits up to timeoutMs for it, on a
 * plain session too. Messages that arrive meanwhile are kept, in order, for the next receives
 * (at most 4): with 4 kept it reads no further and returns DULVEX_SDK_E_KEPT, at once when they
 * were kept before; receive them, then ask again. Nothing is lost. Waits for a receive in
 * progress on another thread. */
DULVEX_SDK_API int DULVEX_SDK_CALL DulvexSdkLinkHealth(DulvexSession* session, DulvexSdkHealth* health,
                                                       uint32_t timeoutMs);

/* Closes the connection; the session can connect again. */
DULVEX_SDK_API void DULVEX_SDK_CALL DulvexSdkClose(DulvexSession* session);

/* How long a send waits for the service to take a message (5000 ms unless set; 0 is not
 * allowed). A send that times out is cancelled and returns DULVEX_SDK_E_TIMEOUT. */
DULVEX_SDK_API int DULVEX_SDK_CALL DulvexSdkSetSendTimeout(DulvexSession* session, uint32_t timeoutMs);

/* Sends one packet of len data bytes to the applications in mask (not 0). The status goes out
 * only when cmd has DULVEX_SDK_CMD_RESPONSE. Returns the bytes written, or a negative code. */
DULVEX_SDK_API int DULVEX_SDK_CALL DulvexSdkSend(DulvexSession* session, uint8_t mask, uint16_t cmd,
                                                 uint16_t status, const void* data, uint32_t len);

/* Sends a line for the service's capture log, stamped with the current time. Returns the bytes
 * written, or a negative code. */
DULVEX_SDK_API int DULVEX_SDK_CALL DulvexSdkSendCapture(DulvexSession* session, const char* text);

/* Waits up to timeoutMs (0: do not wait) for the next message. Returns its number of data bytes,
 * or a negative code; DULVEX_SDK_E_TIMEOUT leaves the connection usable and loses nothing.
 * DULVEX_SDK_E_UNDELIVERED is a notice, in msg as described at DulvexSdkMessage; the connection
 * stays usable. */
DULVEX_SDK_API int DULVEX_SDK_CALL DulvexSdkReceive(DulvexSession* session, DulvexSdkMessage* msg,
                                                    uint32_t timeoutMs);

/* A Win32 event HANDLE, for WaitForMultipleObjects and the like, that is signalled when
 * DulvexSdkReceive would not wait: a message is there, or the connection failed. Starts a read
 * when none is outstanding; after each DulvexSdkReceive, call it again before the next wait. NULL
 * when the session is not connected. */
DULVEX_SDK_API void* DULVEX_SDK_CALL DulvexSdkReceiveHandle(DulvexSession* session);

/* Called once per DulvexSdkReceiveAsync: result is the message's number of data bytes (msg holds
 * it, valid during the call only), DULVEX_SDK_E_UNDELIVERED (msg holds the notice), or another
 * negative code (msg is NULL). */
typedef void(DULVEX_SDK_CALL* DulvexSdkReceiveCallback)(void* context, int result, const DulvexSdkMessage* msg);

/* Receives in the background: returns at once, then calls callback(context, ...) once, on the
 * session's own thread, with the next message, DULVEX_SDK_E_TIMEOUT after timeoutMs, a failure,
 * or DULVEX_SDK_E_CANCELLED. One at a time per session: another while one is outstanding gives
 * DULVEX_SDK_E_PENDING (and no callback). Returns DULVEX_SDK_OK or a negative code. */
DULVEX_SDK_API int DULVEX_SDK_CALL DulvexSdkReceiveAsync(DulvexSession* session, uint32_t timeoutMs,
                                                         DulvexSdkReceiveCallback callback, void* context);

/* The system's error code of the session's latest failure that came from the system; 0 if none. */
DULVEX_SDK_API uint32_t DULVEX_SDK_CALL DulvexSdkLastError(const DulvexSession* session);

#ifdef __cplusplus
}
#endif

#endif
