#include "metrics.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t PATH_LIMIT = 260;  // MAX_PATH, its NUL included

struct Out {
    char* Text;
    size_t Size;
    size_t Len;
    bool Full;
};

void Put(Out* o, const char* format, ...) __attribute__((format(printf, 2, 3)));

void Put(Out* o, const char* format, ...)
{
    if (o->Full)
        return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(o->Text + o->Len, o->Size - o->Len, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= o->Size - o->Len) {
        o->Full = true;
        return;
    }
    o->Len += static_cast<size_t>(n);
}

void Family(Out* o, const char* name, const char* type, const char* help)
{
    Put(o, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// A per-application family: one sample per application, labelled with its name.
void PerApp(Out* o, const MetricsSample* s, const char* name, const char* type, const char* help,
            uint32_t AppHealth::*field)
{
    Family(o, name, type, help);
    for (int i = 0; i < APP_COUNT; ++i)
        Put(o, "%s{app=\"%s\"} %lu\n", name, AppTable[i].Name, static_cast<unsigned long>(s->Apps[i].*field));
}

// Seconds since 1970 as ISO 8601 UTC (days to civil date: H. Hinnant's algorithm).
void UtcText(int64_t seconds, char* out, size_t size)
{
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int64_t rest = seconds - days * 86400;
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t day = doy - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    snprintf(out, size, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
             static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3600),
             static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
}

const char* const NOTICE_LABELS[METRICS_NOTICE_SLOTS] = {
    nullptr, "queue_full", "given_up", "link_unusable", "held_age", "held_count",
};

}  // namespace

size_t FormatMetrics(const MetricsSample* s, char* out, size_t size)
{
    if (s == nullptr || out == nullptr || size == 0)
        return 0;
    Out o = {out, size, 0, false};
    char started[32];
    UtcText(s->StartSeconds, started, sizeof started);
    Family(&o, "dulvex_service_info", "gauge", "The service's version and start (UTC) as labels; always 1.");
    Put(&o, "dulvex_service_info{version=\"%s\",start_time=\"%s\"} 1\n", s->Version ? s->Version : "", started);
    Family(&o, "dulvex_start_time_seconds", "gauge", "When the service started, in seconds since 1970-01-01 UTC.");
    Put(&o, "dulvex_start_time_seconds %lld\n", static_cast<long long>(s->StartSeconds));
    Family(&o, "dulvex_client_connected", "gauge", "1 while a client is attached to the service's pipe, else 0.");
    Put(&o, "dulvex_client_connected %d\n", s->ClientConnected ? 1 : 0);

    Family(&o, "dulvex_link_state", "gauge",
           "Link to a terminal application: 0 nothing heard yet, 1 answering, 2 retransmitting, 3 not answering.");
    for (int i = 0; i < APP_COUNT; ++i)
        Put(&o, "dulvex_link_state{app=\"%s\"} %u\n", AppTable[i].Name, static_cast<unsigned>(s->Apps[i].State));
    PerApp(&o, s, "dulvex_link_frames_sent_total", "counter", "Data frames sent to the application (first sends).",
           &AppHealth::Sent);
    PerApp(&o, s, "dulvex_link_frames_received_total", "counter", "Data frames accepted from the application.",
           &AppHealth::Received);
    PerApp(&o, s, "dulvex_link_frames_retransmitted_total", "counter",
           "Data frames sent again for want of an acknowledgement.", &AppHealth::Retransmitted);
    PerApp(&o, s, "dulvex_link_frames_given_up_total", "counter",
           "Data frames abandoned after their retransmissions.", &AppHealth::GivenUp);
    Family(&o, "dulvex_link_queue_frames", "gauge", "Frames the link holds for the application, the one in flight included.");
    for (int i = 0; i < APP_COUNT; ++i)
        Put(&o, "dulvex_link_queue_frames{app=\"%s\"} %u\n", AppTable[i].Name, static_cast<unsigned>(s->Apps[i].Queue));
    // An application never heard from has no sample: no number of seconds would be true.
    Family(&o, "dulvex_link_last_heard_seconds", "gauge",
           "Seconds since the application was last heard from; absent until it is heard.");
    for (int i = 0; i < APP_COUNT; ++i) {
        uint32_t ms = s->Apps[i].LastHeardMs;
        if (ms != HEALTH_NEVER)
            Put(&o, "dulvex_link_last_heard_seconds{app=\"%s\"} %lu.%03lu\n", AppTable[i].Name,
                static_cast<unsigned long>(ms / 1000), static_cast<unsigned long>(ms % 1000));
    }

    Family(&o, "dulvex_held_answers", "gauge", "Answers held for the next client that announces itself.");
    Put(&o, "dulvex_held_answers %lu\n", static_cast<unsigned long>(s->Held));
    Family(&o, "dulvex_held_answers_dropped_total", "counter", "Held answers dropped for their age or their count.");
    Put(&o, "dulvex_held_answers_dropped_total %lu\n", static_cast<unsigned long>(s->HeldDropped));
    Family(&o, "dulvex_notices_total", "counter",
           "Delivery notices the service had for its client, by reason.");
    for (int r = 1; r < METRICS_NOTICE_SLOTS; ++r)
        Put(&o, "dulvex_notices_total{reason=\"%s\"} %lu\n", NOTICE_LABELS[r], static_cast<unsigned long>(s->Notices[r]));

    if (o.Full) {
        out[0] = '\0';
        return 0;
    }
    return o.Len;
}

MetricsPathRule JudgeMetricsPath(const char* path)
{
    size_t len = path != nullptr ? strlen(path) : 0;
    bool drive = len >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                 path[1] == ':' && path[2] == '\\';
    bool unc = len >= 5 && path[0] == '\\' && path[1] == '\\' && path[2] != '\\' && path[2] != '?' &&
               path[2] != '.' && strchr(path + 2, '\\') != nullptr;
    if (!drive && !unc)
        return METRICS_PATH_NOT_FULL;
    if (path[len - 1] == '\\' || path[len - 1] == '/')
        return METRICS_PATH_NO_NAME;
    if (len + sizeof METRICS_TEMP_SUFFIX > PATH_LIMIT)
        return METRICS_PATH_TOO_LONG;
    return METRICS_PATH_USABLE;
}

const char* MetricsPathText(MetricsPathRule rule)
{
    switch (rule) {
    case METRICS_PATH_USABLE:
        return "usable";
    case METRICS_PATH_NOT_FULL:
        return "is not a full path (C:\\folder\\name.prom or \\\\server\\share\\name.prom)";
    case METRICS_PATH_TOO_LONG:
        return "is too long for its temporary file's name";
    case METRICS_PATH_NO_NAME:
        return "names a folder, not a file";
    }
    return "?";
}
