/* Percentiles of measured round-trip times, shared by the benchmark clients. */
#ifndef DULVEX_BENCH_LATENCY_H
#define DULVEX_BENCH_LATENCY_H

#include <stdlib.h>

static int CompareDouble(const void* a, const void* b)
{
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

/* Sorts the n latencies in place, so that Percentile can read them. */
static void SortLatencies(double* lat, int n) { qsort(lat, (size_t)n, sizeof(double), CompareDouble); }

/* The value at fraction p (0 to 1) of the sorted latencies, nearest rank. */
static double Percentile(const double* sorted, int n, double p)
{
    int i = (int)(p * (n - 1) + 0.5);
    return sorted[i < 0 ? 0 : i >= n ? n - 1 : i];
}

#endif
