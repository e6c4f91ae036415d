// Windows side of the capture log: the runtime library's millisecond clock and local time.
#include <sys/timeb.h>
#include <time.h>

#include "capture.h"

const char CAPTURE_PATH_SEPARATOR = '\\';

void CaptureNow(CaptureTime* now)
{
    struct __timeb64 tb;
    _ftime64(&tb);
    struct tm local {};
    __time64_t sec = tb.time;
    _localtime64_s(&local, &sec);
    *now = {static_cast<int64_t>(tb.time), static_cast<int>(tb.millitm), local.tm_year + 1900, local.tm_mon + 1,
            local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}
