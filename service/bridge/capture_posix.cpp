// POSIX side of the capture log, for building and testing the plain code off Windows.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

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

int CaptureFolderRefused(const char* dir, char* why, size_t size)
{
    struct stat info;
    if (lstat(dir, &info) != 0) {
        snprintf(why, size, "cannot be examined");
        return 1;
    }
    if (S_ISLNK(info.st_mode)) {
        snprintf(why, size, "is a symbolic link");
        return 1;
    }
    if (info.st_uid != 0 && info.st_uid != geteuid()) {
        snprintf(why, size, "is owned by uid %lu, neither root nor this account", static_cast<unsigned long>(info.st_uid));
        return 1;
    }
    return 0;
}
