// The metrics file's text for a fixed moment, the path rule, and which link states reach the
// event log.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "events.h"
#include "link_watch.h"
#include "metrics.h"
#include "terminal.h"

namespace {

MetricsSample Sample()
{
    MetricsSample s = {};
    for (int i = 0; i < APP_COUNT; ++i) {
        s.Apps[i].State = LINK_ANSWERING;
        s.Apps[i].Sent = 10u + i;
        s.Apps[i].Received = 20u + i;
        s.Apps[i].LastHeardMs = 1500u * i;
    }
    // Maint silent from the start: frames given up, nothing ever heard.
    s.Apps[2] = AppHealth{LINK_NOT_ANSWERING, 0, 3, 0, 9, 3, 1, HEALTH_NEVER};
    // Counters past 2^31 print unsigned.
    s.Apps[4].Retransmitted = 4000000000u;
    s.Held = 2;
    s.HeldDropped = 7;
    s.Notices[NOTICE_GIVEN_UP] = 3;
    s.Notices[NOTICE_HELD_AGE] = 1;
    s.ClientConnected = 1;
    s.StartSeconds = 1796845522;  // 2026-12-09 19:45:22 UTC
    s.Version = "1.0.2.1";
    return s;
}

const char EXPECTED[] =
    "# HELP dulvex_service_info The service's version and start (UTC) as labels; always 1.\n"
    "# TYPE dulvex_service_info gauge\n"
    "dulvex_service_info{version=\"1.0.2.1\",start_time=\"2026-12-09T19:45:22Z\"} 1\n"
    "# HELP dulvex_start_time_seconds When the service started, in seconds since 1970-01-01 UTC.\n"
    "# TYPE dulvex_start_time_seconds gauge\n"
    "dulvex_start_time_seconds 1796845522\n"
    "# HELP dulvex_client_connected 1 while a client is attached to the service's pipe, else 0.\n"
    "# TYPE dulvex_client_connected gauge\n"
    "dulvex_client_connected 1\n"
    "# HELP dulvex_link_state Link to a terminal application: 0 nothing heard yet, 1 answering, 2 "
    "retransmitting, 3 not answering.\n"
    "# TYPE dulvex_link_state gauge\n"
    "dulvex_link_state{app=\"Master\"} 1\n"
    "dulvex_link_state{app=\"MBCA\"} 1\n"
    "dulvex_link_state{app=\"Maint\"} 3\n"
    "dulvex_link_state{app=\"Fleet\"} 1\n"
    "dulvex_link_state{app=\"Petro\"} 1\n"
    "# HELP dulvex_link_frames_sent_total Data frames sent to the application (first sends).\n"
    "# TYPE dulvex_link_frames_sent_total counter\n"
    "dulvex_link_frames_sent_total{app=\"Master\"} 10\n"
    "dulvex_link_frames_sent_total{app=\"MBCA\"} 11\n"
    "dulvex_link_frames_sent_total{app=\"Maint\"} 3\n"
    "dulvex_link_frames_sent_total{app=\"Fleet\"} 13\n"
    "dulvex_link_frames_sent_total{app=\"Petro\"} 14\n"
    "# HELP dulvex_link_frames_received_total Data frames accepted from the application.\n"
    "# TYPE dulvex_link_frames_received_total counter\n"
    "dulvex_link_frames_received_total{app=\"Master\"} 20\n"
    "dulvex_link_frames_received_total{app=\"MBCA\"} 21\n"
    "dulvex_link_frames_received_total{app=\"Maint\"} 0\n"
    "dulvex_link_frames_received_total{app=\"Fleet\"} 23\n"
    "dulvex_link_frames_received_total{app=\"Petro\"} 24\n"
    "# HELP dulvex_link_frames_retransmitted_total Data frames sent again for want of an acknowledgement.\n"
    "# TYPE dulvex_link_frames_retransmitted_total counter\n"
    "dulvex_link_frames_retransmitted_total{app=\"Master\"} 0\n"
    "dulvex_link_frames_retransmitted_total{app=\"MBCA\"} 0\n"
    "dulvex_link_frames_retransmitted_total{app=\"Maint\"} 9\n"
    "dulvex_link_frames_retransmitted_total{app=\"Fleet\"} 0\n"
    "dulvex_link_frames_retransmitted_total{app=\"Petro\"} 4000000000\n"
    "# HELP dulvex_link_frames_given_up_total Data frames abandoned after their retransmissions.\n"
    "# TYPE dulvex_link_frames_given_up_total counter\n"
    "dulvex_link_frames_given_up_total{app=\"Master\"} 0\n"
    "dulvex_link_frames_given_up_total{app=\"MBCA\"} 0\n"
    "dulvex_link_frames_given_up_total{app=\"Maint\"} 3\n"
    "dulvex_link_frames_given_up_total{app=\"Fleet\"} 0\n"
    "dulvex_link_frames_given_up_total{app=\"Petro\"} 0\n"
    "# HELP dulvex_link_queue_frames Frames the link holds for the application, the one in flight included.\n"
    "# TYPE dulvex_link_queue_frames gauge\n"
    "dulvex_link_queue_frames{app=\"Master\"} 0\n"
    "dulvex_link_queue_frames{app=\"MBCA\"} 0\n"
    "dulvex_link_queue_frames{app=\"Maint\"} 1\n"
    "dulvex_link_queue_frames{app=\"Fleet\"} 0\n"
    "dulvex_link_queue_frames{app=\"Petro\"} 0\n"
    "# HELP dulvex_link_last_heard_seconds Seconds since the application was last heard from; absent until it "
    "is heard.\n"
    "# TYPE dulvex_link_last_heard_seconds gauge\n"
    "dulvex_link_last_heard_seconds{app=\"Master\"} 0.000\n"
    "dulvex_link_last_heard_seconds{app=\"MBCA\"} 1.500\n"
    "dulvex_link_last_heard_seconds{app=\"Fleet\"} 4.500\n"
    "dulvex_link_last_heard_seconds{app=\"Petro\"} 6.000\n"
    "# HELP dulvex_held_answers Answers held for the next client that announces itself.\n"
    "# TYPE dulvex_held_answers gauge\n"
    "dulvex_held_answers 2\n"
    "# HELP dulvex_held_answers_dropped_total Held answers dropped for their age or their count.\n"
    "# TYPE dulvex_held_answers_dropped_total counter\n"
    "dulvex_held_answers_dropped_total 7\n"
    "# HELP dulvex_notices_total Delivery notices the service had for its client, by reason.\n"
    "# TYPE dulvex_notices_total counter\n"
    "dulvex_notices_total{reason=\"queue_full\"} 0\n"
    "dulvex_notices_total{reason=\"given_up\"} 3\n"
    "dulvex_notices_total{reason=\"link_unusable\"} 0\n"
    "dulvex_notices_total{reason=\"held_age\"} 1\n"
    "dulvex_notices_total{reason=\"held_count\"} 0\n";

TEST(Metrics, TextForAFixedMoment)
{
    MetricsSample s = Sample();
    static char out[METRICS_TEXT_SIZE];
    size_t n = FormatMetrics(&s, out, sizeof out);
    EXPECT_EQ(strlen(EXPECTED), n);
    EXPECT_EQ(std::string(EXPECTED), std::string(out, n));
}

// Every size short of the whole text gives no text at all, never a cut one; the buffer's
// contents past the size are never touched.
TEST(Metrics, TooSmallGivesNothing)
{
    MetricsSample s = Sample();
    size_t whole = strlen(EXPECTED);
    ASSERT_LT(whole, METRICS_TEXT_SIZE);
    static char out[METRICS_TEXT_SIZE + 1];
    for (size_t size = 1; size <= whole + 1; ++size) {
        memset(out, 'x', sizeof out);
        size_t n = FormatMetrics(&s, out, size);
        ASSERT_EQ(size > whole ? whole : 0u, n) << "size " << size;
        if (n == 0) {
            ASSERT_EQ('\0', out[0]) << "size " << size;
        }
        ASSERT_EQ('x', out[size]) << "size " << size;
    }
    EXPECT_EQ(0u, FormatMetrics(nullptr, out, sizeof out));
}

// The start time's date across the epoch, leap days and the 32-bit rollover.
TEST(Metrics, StartTimeLabel)
{
    struct {
        int64_t Seconds;
        const char* Text;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},         {951782399, "2000-02-28T23:59:59Z"},
        {951782400, "2000-02-29T00:00:00Z"}, {4107542400, "2100-03-01T00:00:00Z"},
        {2147483648, "2038-01-19T03:14:08Z"}, {-1, "1969-12-31T23:59:59Z"},
    };
    static char out[METRICS_TEXT_SIZE];
    for (const auto& c : cases) {
        MetricsSample s = Sample();
        s.StartSeconds = c.Seconds;
        ASSERT_GT(FormatMetrics(&s, out, sizeof out), 0u);
        std::string label = std::string("start_time=\"") + c.Text + "\"";
        EXPECT_NE(nullptr, strstr(out, label.c_str())) << c.Seconds;
    }
}

TEST(Metrics, PathRule)
{
    std::string longest = "C:\\" + std::string(260 - 3 - sizeof METRICS_TEMP_SUFFIX, 'a');
    std::string tooLong = longest + "a";
    struct {
        const char* Path;
        MetricsPathRule Rule;
    } cases[] = {
        {"C:\\ProgramData\\metrics\\dulvex.prom", METRICS_PATH_USABLE},
        {"z:\\d.prom", METRICS_PATH_USABLE},
        {"\\\\server\\share\\dulvex.prom", METRICS_PATH_USABLE},
        {longest.c_str(), METRICS_PATH_USABLE},
        {tooLong.c_str(), METRICS_PATH_TOO_LONG},
        {"dulvex.prom", METRICS_PATH_NOT_FULL},
        {"metrics\\dulvex.prom", METRICS_PATH_NOT_FULL},
        {"\\dulvex.prom", METRICS_PATH_NOT_FULL},
        {"C:dulvex.prom", METRICS_PATH_NOT_FULL},
        {"C:/x/dulvex.prom", METRICS_PATH_NOT_FULL},
        {"1:\\dulvex.prom", METRICS_PATH_NOT_FULL},
        {"\\\\?\\C:\\dulvex.prom", METRICS_PATH_NOT_FULL},
        {"\\\\.\\pipe\\x", METRICS_PATH_NOT_FULL},
        {"\\\\server", METRICS_PATH_NOT_FULL},
        {"", METRICS_PATH_NOT_FULL},
        {nullptr, METRICS_PATH_NOT_FULL},
        {"C:\\metrics\\", METRICS_PATH_NO_NAME},
        {"C:\\", METRICS_PATH_NO_NAME},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.Rule, JudgeMetricsPath(c.Path)) << (c.Path ? c.Path : "(null)");
}

// A walk through the link's states: each change reaches the event log once, retransmitting in
// between changes nothing.
TEST(LinkWatch, OneEventPerChange)
{
    struct {
        int32_t Health;
        unsigned long Event;
    } walk[] = {
        {LINK_UNKNOWN, 0},
        {LINK_ANSWERING, 0},
        {LINK_RETRYING, 0},
        {LINK_ANSWERING, 0},
        {LINK_RETRYING, 0},
        {LINK_NOT_ANSWERING, EVENT_APP_NOT_ANSWERING},
        {LINK_NOT_ANSWERING, 0},
        {LINK_RETRYING, 0},
        {LINK_NOT_ANSWERING, 0},
        {LINK_ANSWERING, EVENT_APP_ANSWERING},
        {LINK_ANSWERING, 0},
        {LINK_NOT_ANSWERING, EVENT_APP_NOT_ANSWERING},
    };
    uint8_t down = 0;
    for (size_t i = 0; i < sizeof walk / sizeof walk[0]; ++i)
        EXPECT_EQ(walk[i].Event, LinkStateEvent(&down, walk[i].Health)) << "step " << i;
    // A terminal silent from the start: the first give-up is the first word of it.
    down = 0;
    EXPECT_EQ(EVENT_APP_NOT_ANSWERING, LinkStateEvent(&down, LINK_NOT_ANSWERING));
    EXPECT_EQ(static_cast<unsigned long>(EVENT_SEVERITY_WARNING), EventSeverity(EVENT_APP_NOT_ANSWERING));
    EXPECT_EQ(static_cast<unsigned long>(EVENT_SEVERITY_INFO), EventSeverity(EVENT_APP_ANSWERING));
}

// Held answers dropped: the first drop at once, then one event a minute at most with the count
// since the last, across the millisecond counter's wrap.
TEST(LinkWatch, HeldDropsOncePerMinute)
{
    const uint32_t start = 0xFFFFF000u;  // wraps 4 s later
    struct {
        uint32_t Dropped;
        uint32_t AtMs;  // after start
        uint32_t Report;
    } steps[] = {
        {0, 0, 0},          {1, 100, 1},        {5, 200, 0},    {9, 59999, 0}, {9, 60100, 8},
        {9, 200000, 0},     {10, 200100, 1},    {12, 200200, 0}, {13, 260099, 0}, {13, 260100, 3},
    };
    DropWatch w = {};
    for (const auto& s : steps)
        EXPECT_EQ(s.Report, HeldDropsToReport(&w, s.Dropped, start + s.AtMs)) << "at " << s.AtMs;
}

}  // namespace
