/* dulvex-client's output: one text line or one JSON object per event, built whole and written
 * at once (a console takes many small writes slowly). */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "client_out.h"

#define LINE_SIZE 2048

static int Json;

static const char* const AppName[APP_COUNT] = {"Master", "MBCA", "Maint", "Fleet", "Petro"};

typedef struct Line {
    char Text[LINE_SIZE];
    size_t Len;
} Line;

static void Add(Line* l, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vsnprintf(l->Text + l->Len, sizeof l->Text - l->Len, format, args);
    va_end(args);
    if (n > 0)
        l->Len += (size_t)n < sizeof l->Text - l->Len ? (size_t)n : sizeof l->Text - l->Len - 1;
}

static void AddHex(Line* l, const uint8_t* data, uint32_t len)
{
    for (uint32_t i = 0; i < len; ++i)
        Add(l, "%02x", data[i]);
}

/* A JSON string: quotes, backslashes and control characters escaped; bytes above 0x7F pass
 * as they are (the texts here are ASCII). */
static void AddJsonString(Line* l, const char* s)
{
    Add(l, "\"");
    for (; *s != '\0'; ++s) {
        unsigned char c = (unsigned char)*s;
        if (c == '"' || c == '\\')
            Add(l, "\\%c", c);
        else if (c < 0x20)
            Add(l, "\\u%04x", c);
        else
            Add(l, "%c", c);
    }
    Add(l, "\"");
}

/* An application's name; the control bit has its own; a bit no application owns, its value. */
static const char* BitName(int bit, char* buf, size_t bufSize)
{
    if (bit < APP_COUNT)
        return AppName[bit];
    if ((1u << bit) == DULVEX_CONTROL)
        return "control";
    snprintf(buf, bufSize, "0x%02x", 1u << bit);
    return buf;
}

/* ,"mask":M,"apps":["Master",...]: the mask and the names of its bits. */
static void AddJsonMask(Line* l, uint8_t mask)
{
    Add(l, ",\"mask\":%u,\"apps\":[", mask);
    int first = 1;
    for (int bit = 0; bit < 8; ++bit) {
        char buf[8];
        if (!(mask & (1u << bit)))
            continue;
        Add(l, first ? "" : ",");
        AddJsonString(l, BitName(bit, buf, sizeof buf));
        first = 0;
    }
    Add(l, "]");
}

static void Emit(Line* l)
{
    Add(l, "\n");
    fwrite(l->Text, 1, l->Len, stdout);
    fflush(stdout);
}

void OutSetJson(int json) { Json = json; }

/* "YYYY-MM-DD hh:mm:ss.mmm +hh:mm": a local time and its offset east of UTC in minutes. */
static void FormatStamp(char* out, size_t outSize, const SYSTEMTIME* t, long offsetMinutes)
{
    char sign = offsetMinutes < 0 ? '-' : '+';
    long off = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    snprintf(out, outSize, "%04u-%02u-%02u %02u:%02u:%02u.%03u %c%02ld:%02ld", t->wYear, t->wMonth, t->wDay,
             t->wHour, t->wMinute, t->wSecond, t->wMilliseconds, sign, off / 60, off % 60);
}

void AppNames(char* out, size_t outSize, uint8_t mask)
{
    Line l;
    l.Len = 0;
    l.Text[0] = '\0';
    for (int bit = 0; bit < 8; ++bit) {
        char buf[8];
        if (mask & (1u << bit))
            Add(&l, "%s%s", l.Len > 0 ? "+" : "", BitName(bit, buf, sizeof buf));
    }
    snprintf(out, outSize, "%s", l.Len > 0 ? l.Text : "-");
}

/* The local time and its offset from UTC now. The offset is the zone's bias with the daylight
 * or standard part that applies at this moment. */
static void StampNow(char* out, size_t outSize)
{
    SYSTEMTIME local;
    TIME_ZONE_INFORMATION tz;
    GetLocalTime(&local);
    DWORD which = GetTimeZoneInformation(&tz);
    long bias = tz.Bias;
    if (which == TIME_ZONE_ID_DAYLIGHT)
        bias += tz.DaylightBias;
    else if (which == TIME_ZONE_ID_STANDARD)
        bias += tz.StandardBias;
    else if (which == TIME_ZONE_ID_INVALID)
        bias = 0;
    FormatStamp(out, outSize, &local, -bias);
}

/* Starts a line: the JSON object's type (and time), or the text's time and names. */
static void Begin(Line* l, const char* type, int stamped, uint8_t mask)
{
    char stamp[40] = "";
    l->Len = 0;
    l->Text[0] = '\0';
    if (stamped)
        StampNow(stamp, sizeof stamp);
    if (Json) {
        Add(l, "{\"type\":\"%s\"", type);
        if (stamped)
            Add(l, ",\"time\":\"%s\"", stamp);
    } else if (stamped) {
        char names[64];
        AppNames(names, sizeof names, mask);
        Add(l, "%s %s ", stamp, names);
    }
}

static void AddJsonBody(Line* l, const DulvexMessage* msg)
{
    Add(l, ",\"cmd\":%u,\"status\":", msg->Cmd);
    if (msg->HasStatus)
        Add(l, "%u", msg->Status);
    else
        Add(l, "null");
    Add(l, ",\"len\":%lu,\"data\":\"", (unsigned long)msg->Len);
    AddHex(l, msg->Data, msg->Len);
    Add(l, "\"}");
}

void OutMessage(const DulvexMessage* msg, int stamped)
{
    Line l;
    Begin(&l, "message", stamped, msg->Mask);
    if (Json) {
        AddJsonMask(&l, msg->Mask);
        AddJsonBody(&l, msg);
    } else {
        char status[8] = "-";
        if (msg->HasStatus)
            snprintf(status, sizeof status, "0x%04x", msg->Status);
        Add(&l, "mask=0x%02x cmd=0x%04x status=%s len=%u data=", msg->Mask, msg->Cmd, status, (unsigned)msg->Len);
        AddHex(&l, msg->Data, msg->Len);
    }
    Emit(&l);
}

void OutNotice(const DulvexMessage* msg, int stamped)
{
    Line l;
    Begin(&l, "notice", stamped, msg->Mask);
    if (Json) {
        AddJsonMask(&l, msg->Mask);
        Add(&l, ",\"cmd\":%u,\"reason\":%u,\"reason_text\":", msg->Cmd, msg->Reason);
        AddJsonString(&l, DulvexReasonText(msg->Reason));
        Add(&l, ",\"count\":%lu}", (unsigned long)msg->Count);
    } else {
        Add(&l, "notice mask=0x%02x cmd=0x%04x reason=%u count=%lu (%s)", msg->Mask, msg->Cmd, msg->Reason,
            (unsigned long)msg->Count, DulvexReasonText(msg->Reason));
    }
    Emit(&l);
}

void OutWelcome(uint32_t held)
{
    Line l;
    Begin(&l, "welcome", 1, DULVEX_CONTROL);
    if (Json)
        Add(&l, ",\"held\":%lu}", (unsigned long)held);
    else
        Add(&l, "welcome held=%lu", (unsigned long)held);
    Emit(&l);
}

void OutControl(const DulvexMessage* msg)
{
    Line l;
    Begin(&l, "control", 1, DULVEX_CONTROL);
    if (Json) {
        AddJsonBody(&l, msg);
    } else {
        Add(&l, "cmd=0x%04x len=%u data=", msg->Cmd, (unsigned)msg->Len);
        AddHex(&l, msg->Data, msg->Len);
    }
    Emit(&l);
}

static const char* StateName(int state)
{
    switch (state) {
    case DULVEX_LINK_ANSWERING: return "answering";
    case DULVEX_LINK_RETRYING: return "retrying";
    case DULVEX_LINK_NOT_ANSWERING: return "not-answering";
    default: return "unknown";
    }
}

static void AddMs(Line* l, const char* name, uint32_t ms)
{
    if (Json)
        Add(l, ms == DULVEX_NEVER ? ",\"%s\":null" : ",\"%s\":%lu", name, (unsigned long)ms);
    else
        Add(l, ms == DULVEX_NEVER ? " %s=never" : " %s=%lu", name, (unsigned long)ms);
}

void OutHealth(const DulvexAppHealth* a)
{
    Line l;
    Begin(&l, "status", 0, a->Mask);
    if (Json) {
        char names[64];
        AppNames(names, sizeof names, a->Mask);
        Add(&l, ",\"mask\":%u,\"app\":", a->Mask);
        AddJsonString(&l, names);
        Add(&l, ",\"state\":\"%s\"", StateName(a->State));
        AddMs(&l, "since_ms", a->SinceMs);
        Add(&l, ",\"sent\":%lu,\"received\":%lu,\"retransmitted\":%lu,\"given_up\":%lu,\"queue\":%u",
            (unsigned long)a->Sent, (unsigned long)a->Received, (unsigned long)a->Retransmitted,
            (unsigned long)a->GivenUp, a->Queue);
        AddMs(&l, "last_heard_ms", a->LastHeardMs);
        Add(&l, "}");
    } else {
        Add(&l, "app=0x%02x state=%s", a->Mask, StateName(a->State));
        AddMs(&l, "since-ms", a->SinceMs);
        Add(&l, " sent=%lu received=%lu retransmitted=%lu given-up=%lu queue=%u", (unsigned long)a->Sent,
            (unsigned long)a->Received, (unsigned long)a->Retransmitted, (unsigned long)a->GivenUp, a->Queue);
        AddMs(&l, "last-heard-ms", a->LastHeardMs);
    }
    Emit(&l);
}

static void AddTime(Line* l, const char* name, int have, double ms)
{
    if (Json)
        Add(l, have ? ",\"%s\":%.3f" : ",\"%s\":null", name, ms);
    else
        Add(l, have ? " %s=%.3f" : " %s=-", name, ms);
}

void OutPing(const PingStats* s)
{
    Line l;
    char names[64];
    AppNames(names, sizeof names, s->Mask);
    Begin(&l, "ping", 0, s->Mask);
    if (Json) {
        Add(&l, ",\"mask\":%u,\"app\":", s->Mask);
        AddJsonString(&l, names);
        Add(&l, ",\"cmd\":%u,\"sent\":%lu,\"answered\":%lu,\"lost\":%lu,\"late\":%lu", s->Cmd, s->Sent, s->Answered,
            s->Lost, s->Late);
    } else {
        Add(&l, "app=0x%02x name=%s cmd=0x%04x sent=%lu answered=%lu lost=%lu late=%lu", s->Mask, names, s->Cmd,
            s->Sent, s->Answered, s->Lost, s->Late);
    }
    int have = s->Answered > 0;
    AddTime(&l, Json ? "min_ms" : "min-ms", have, s->MinMs);
    AddTime(&l, Json ? "mean_ms" : "mean-ms", have, have ? s->SumMs / (double)s->Answered : 0.0);
    AddTime(&l, Json ? "max_ms" : "max-ms", have, s->MaxMs);
    if (Json)
        Add(&l, "}");
    Emit(&l);
}
