// POSIX side of the capture log, for building and testing the plain code off Windows.
#include <time.h>

#include "capture.h"

const char CAPTURE_PATH_SEPARATOR = '/';

void CaptureNow(CaptureTime* now)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm local;
    time_t sec = ts.tv_sec;
    localtime_r(&sec, &local);
    *now = {static_cast<int64_t>(ts.tv_sec), static_cast<int>(ts.tv_nsec / 1000000), local.tm_year + 1900,
            local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}
