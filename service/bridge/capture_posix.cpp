// POSIX side of the capture log, for building and testing the plain code off Windows.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "capture.h"

const char CAPTURE_PATH_SEPARATOR = '/';

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
