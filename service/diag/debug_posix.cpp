// POSIX side of the trace code, for the native builds of the plain modules and their tests.
// There is no event log here: records are dropped, and the platform counts as NT-like so that
// the gate logic runs as it does on Windows.
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "debug.h"
#include "debug_os.h"
#include "local_clock.h"

namespace {
pthread_mutex_t TraceLock = PTHREAD_MUTEX_INITIALIZER;
}

void DiagLockCreate() {}
void DiagLockEnter() { pthread_mutex_lock(&TraceLock); }
void DiagLockLeave() { pthread_mutex_unlock(&TraceLock); }

void DiagNowUtc(DiagTime* t)
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm parts;
    gmtime_r(&tv.tv_sec, &parts);
    *t = {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
          static_cast<int>(tv.tv_usec / 1000)};
}

void LocalClockNow(LocalClockTime* now)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local;
    time_t sec = ts.tv_sec;
    localtime_r(&sec, &local);
    *now = {static_cast<int64_t>(ts.tv_sec), static_cast<int>(ts.tv_nsec / 1000000), local.tm_year + 1900,
            local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
            static_cast<int>(local.tm_gmtoff / 60)};
}

unsigned long DiagProcessId() { return static_cast<unsigned long>(getpid()); }
unsigned long DiagThreadId() { return static_cast<unsigned long>(syscall(SYS_gettid)); }
unsigned long DiagLastError() { return static_cast<unsigned long>(errno); }
void DiagSetLastError(unsigned long value) { errno = static_cast<int>(value); }

bool DiagSystemText(long code, char* buf, size_t size)
{
    const char* text = strerrordesc_np(static_cast<int>(code));
    if (text == nullptr)
        return false;
    snprintf(buf, size, "%s\n", text);
    return true;
}

void DiagWriteEvent(unsigned long, const char*, const char*) {}

bool IsNtFamily() { return true; }

void DiagWriteStream(FILE* stream, const char* data, size_t len)
{
    int fd = fileno(stream);
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        len -= static_cast<size_t>(n);
    }
}

long long DiagFileSize(FILE* stream)
{
    struct stat st;
    if (fflush(stream) != 0 || fstat(fileno(stream), &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}
