/* Round trips through the pipe client library: one command to the applications in a mask, then
 * wait for one response per selected application; latencies by QueryPerformanceCounter. Against
 * the service it measures the whole bridge (pipe, service, UDP link, terminal); against
 * pipe_echo.exe it measures the pipe alone. With --inflight, one command per application of the
 * mask stays in flight instead: each response sends that application its next command, and
 * --count counts responses. With --versus NAME, a second server on that pipe is measured round for
 * round beside the first (alternating which goes first), so that the ratio of the two is taken
 * under the same load of the machine; its figures follow on a second line, from "versus". Prints
 * one "key=value" line per server. With --samples FILE, every measured latency (microseconds, one
 * per line) is appended to FILE (and the second server's to FILE.versus), so that a benchmark can
 * merge blocks of rounds taken at different times. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "dulvex_client.h"
#include "latency.h"

/* One command to the mask and its responses; the latency in microseconds, or -1. */
static double Round(DulvexClient* c, unsigned mask, int bits, const uint8_t* data, int size, LARGE_INTEGER freq)
{
    static DulvexMessage m;
    LARGE_INTEGER t0, t1;
    int got = 0, r;
    QueryPerformanceCounter(&t0);
    r = DulvexSendPacket(c, (uint8_t)mask, 0x0100, 0, data, (size_t)size);
    if (r < 0) {
        fprintf(stderr, "roundtrip: send: %s\n", DulvexResultText(r));
        return -1;
    }
    while (got < bits) {
        r = DulvexReceive(c, &m, 5000);
        if (r < 0) {
            fprintf(stderr, "roundtrip: receive: %s\n", DulvexResultText(r));
            return -1;
        }
        if (m.Cmd == 0x8100)
            ++got;
    }
    QueryPerformanceCounter(&t1);
    return (double)(t1.QuadPart - t0.QuadPart) * 1e6 / (double)freq.QuadPart;
}

static const char* SamplesPath = NULL;

static void Report(const char* prefix, int count, unsigned mask, double* lat, double messages, double secs)
{
    if (SamplesPath != NULL) {
        char name[MAX_PATH];
        FILE* f;
        int i;
        snprintf(name, sizeof name, "%s%s", SamplesPath, *prefix ? ".versus" : "");
        f = fopen(name, "a");
        for (i = 0; f != NULL && i < count; ++i)
            fprintf(f, "%.0f\n", lat[i]);
        if (f != NULL)
            fclose(f);
    }
    SortLatencies(lat, count);
    printf("%srounds=%d mask=0x%02x p50_us=%.0f p99_us=%.0f p999_us=%.0f max_us=%.0f msgs_per_s=%.0f\n", prefix, count,
           mask, Percentile(lat, count, 0.50), Percentile(lat, count, 0.99), Percentile(lat, count, 0.999),
           lat[count - 1], messages / secs);
}

/* Both servers round for round; messages/s from the time spent in each one's rounds. */
static int Versus(DulvexClient* c, const char* other, int count, int warmup, unsigned mask, int bits,
                  const uint8_t* data, int size, LARGE_INTEGER freq)
{
    DulvexClient v;
    double *a = (double*)malloc(sizeof(double) * (size_t)count), *b = (double*)malloc(sizeof(double) * (size_t)count);
    double sumA = 0, sumB = 0;
    int i, r;
    memset(&v, 0, sizeof v);
    r = DulvexConnectEx(&v, other, 15000, DULVEX_CONNECT_PLAIN);
    if (r != DULVEX_OK) {
        fprintf(stderr, "roundtrip: connect to %s: %s\n", other, DulvexResultText(r));
        return 1;
    }
    for (i = -warmup; i < count; ++i) {
        int flip = i & 1;
        double x = Round(flip ? &v : c, mask, bits, data, size, freq);
        double y = x < 0 ? -1 : Round(flip ? c : &v, mask, bits, data, size, freq);
        if (y < 0)
            return 1;
        if (i >= 0) {
            a[i] = flip ? y : x;
            b[i] = flip ? x : y;
            sumA += a[i];
            sumB += b[i];
        }
    }
    DulvexClose(&v);
    DulvexClose(c);
    Report("", count, mask, a, (double)count * bits, sumA / 1e6);
    Report("versus ", count, mask, b, (double)count * bits, sumB / 1e6);
    free(a);
    free(b);
    return 0;
}

int main(int argc, char** argv)
{
    static DulvexMessage m;
    DulvexClient c;
    const char* pipe = NULL;
    const char* versus = NULL;
    int count = 1000, warmup = 50, size = 16, i, r, bits = 0, inflight = 0;
    unsigned mask = DULVEX_APP_MASTER;
    uint8_t data[DULVEX_MAX_DATA];
    double* lat;
    LARGE_INTEGER freq, t1, start, end;
    long messages = 0;

    for (i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--count") == 0)
            count = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--mask") == 0)
            mask = (unsigned)strtoul(argv[i + 1], NULL, 0);
        else if (strcmp(argv[i], "--size") == 0)
            size = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--pipe") == 0)
            pipe = argv[i + 1];
        else if (strcmp(argv[i], "--warmup") == 0)
            warmup = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--inflight") == 0)
            inflight = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--versus") == 0)
            versus = argv[i + 1];
        else if (strcmp(argv[i], "--samples") == 0)
            SamplesPath = argv[i + 1];
    }
    if (count < 1 || size < 0 || size > DULVEX_MAX_DATA || mask == 0 || mask > DULVEX_APP_ALL || (versus && inflight)) {
        fprintf(stderr, "usage: roundtrip [--count N] [--mask M] [--size BYTES] [--pipe NAME] [--warmup N] "
                        "[--inflight 1 | --versus NAME] [--samples FILE]\n");
        return 2;
    }
    for (i = 0; i < 5; ++i)
        bits += (mask >> i) & 1;
    lat = (double*)malloc(sizeof(double) * (size_t)count);
    memset(data, 0xA5, sizeof data);
    memset(&c, 0, sizeof c);
    /* Round trips only: no announcement, so no held answer or notice is taken for a response. */
    r = DulvexConnectEx(&c, pipe, 15000, DULVEX_CONNECT_PLAIN);
    if (r != DULVEX_OK) {
        fprintf(stderr, "roundtrip: connect: %s\n", DulvexResultText(r));
        return 1;
    }
    QueryPerformanceFrequency(&freq);
    if (versus)
        return Versus(&c, versus, count, warmup, mask, bits, data, size, freq);
    if (inflight) {
        /* Responses before the first measured one are the warm-up; each application's latency runs
         * from its own command to its response. */
        LARGE_INTEGER sent[5];
        int app, done = -warmup, outstanding = 0;
        for (app = 0; app < 5; ++app) {
            if (!(mask & (1u << app)))
                continue;
            QueryPerformanceCounter(&sent[app]);
            if (DulvexSendPacket(&c, (uint8_t)(1u << app), 0x0100, 0, data, (size_t)size) < 0) {
                fprintf(stderr, "roundtrip: send failed\n");
                return 1;
            }
            ++outstanding;
        }
        while (done < count) {
            r = DulvexReceive(&c, &m, 5000);
            if (r < 0) {
                fprintf(stderr, "roundtrip: receive after %d responses: %s\n", done, DulvexResultText(r));
                return 1;
            }
            if (m.Cmd != 0x8100)
                continue;
            for (app = 0; app < 5 && m.Mask != (1u << app); ++app) {
            }
            if (app == 5 || !(mask & m.Mask))
                continue;
            QueryPerformanceCounter(&t1);
            if (done == 0)
                start = t1;
            if (done >= 0 && done < count) {
                lat[done] = (double)(t1.QuadPart - sent[app].QuadPart) * 1e6 / (double)freq.QuadPart;
                ++messages;
            }
            ++done;
            --outstanding;
            if (done + outstanding < count) {
                QueryPerformanceCounter(&sent[app]);
                if (DulvexSendPacket(&c, m.Mask, 0x0100, 0, data, (size_t)size) < 0) {
                    fprintf(stderr, "roundtrip: send failed\n");
                    return 1;
                }
                ++outstanding;
            }
        }
    }
    for (i = inflight ? count : -warmup; i < count; ++i) {
        double us;
        if (i == 0)
            QueryPerformanceCounter(&start);
        us = Round(&c, mask, bits, data, size, freq);
        if (us < 0) {
            fprintf(stderr, "roundtrip: after %d rounds\n", i);
            return 1;
        }
        if (i >= 0) {
            lat[i] = us;
            messages += bits;
        }
    }
    QueryPerformanceCounter(&end);
    DulvexClose(&c);
    Report("", count, mask, lat, (double)messages, (double)(end.QuadPart - start.QuadPart) / (double)freq.QuadPart);
    free(lat);
    return 0;
}
