#include "capture.h"

#include <sys/stat.h>

#include <cstring>

#include "debug.h"
#include "link_wrap.h"
#include "log_place.h"

FILE* CaptureFile = nullptr;

namespace {

unsigned long CaptureCap = CAPTURE_CAP_DEFAULT;
char CaptureName[CAPTURE_NAME_SIZE] = "";
// The debug folder, held while the log is on.
LogPlace CapturePlace = {0};

void RollCaptureOver()
{
    long long size = 0;
    int rolled = RollLogOver(&CaptureFile, CaptureName, CaptureCap, &size);
    if (rolled == LOG_KEPT)
        return;
    if (rolled == LOG_ROLLED)
        TraceMessage("Capture: %s reached %lld bytes; rolled over to %s.1\n", CaptureName, size, CaptureName);
    else
        TraceMessage("Capture: %s reached %lld bytes and could not be renamed; emptied\n", CaptureName, size);
    if (CaptureFile == nullptr) {
        LogMessage("Capture: %s cannot be opened again; capture log off\n", CaptureName);
        LogPlaceRelease(&CapturePlace);
    }
}

}  // namespace

int CaptureFormatName(char* out, size_t size, const char* dir, char separator, const CaptureTime* now)
{
    int n = snprintf(out, size, "%s%c%04d%02d%02d-%02d%02d%02d.log", dir, separator, now->Year, now->Month, now->Day,
                     now->Hour, now->Minute, now->Second);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : n;
}

int CaptureFormatLine(char* out, size_t size, size_t length, const uint8_t* data, const CaptureTime* now)
{
    if (length < CAPTURE_STAMP_SIZE)
        return -1;
    uint32_t stampSec = BigEndianValue(data, 4);
    uint32_t stampMsec = BigEndianValue(data + 4, 4);
    // The delay wraps in 32 bits like the clients' own arithmetic: a stamp later than the
    // arrival gives a negative delay, printed after the plus sign as it is.
    int32_t delay = ElapsedMs(stampSec, stampMsec, static_cast<uint32_t>(now->Sec), static_cast<uint32_t>(now->Msec));
    int head = snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d +%05d ", now->Year, now->Month, now->Day,
                        now->Hour, now->Minute, now->Second, now->Msec, static_cast<int>(delay));
    if (head < 0 || static_cast<size_t>(head) + 2 > size)
        return -1;
    // The text is not terminated: it ends at the record's end or at its first NUL.
    const uint8_t* text = data + CAPTURE_STAMP_SIZE;
    size_t textLen = length - CAPTURE_STAMP_SIZE;
    const void* nul = memchr(text, '\0', textLen);
    if (nul != nullptr)
        textLen = static_cast<const uint8_t*>(nul) - text;
    size_t room = size - static_cast<size_t>(head) - 2;
    if (textLen > room)
        textLen = room;
    memcpy(out + head, text, textLen);
    size_t end = static_cast<size_t>(head) + textLen;
    out[end++] = '\n';
    out[end] = '\0';
    return static_cast<int>(end);
}

int CaptureOpenIn(const char* dir)
{
    CaptureClose();
    struct stat info;
    if (dir == nullptr || stat(dir, &info) != 0 || !S_ISDIR(info.st_mode))
        return 0;
    // The service creates and empties files here with its own rights: a folder redirected
    // elsewhere, or made by just anyone, would have it do so wherever that person chose. An
    // administrator who makes the folder in Explorer at the root of C: gets one that inherits
    // every user's Modify; its owner is trusted, so the service takes it over instead.
    char why[LOG_WHY_SIZE];
    bool protectedNow = false;
    if (!LogPlaceTake(dir, true, &CapturePlace, &protectedNow, why, sizeof why)) {
        EventMessage(EVENT_LOG_REFUSED, "Capture: folder %s %s; capture log off\n", dir, why);
        return 0;
    }
    if (protectedNow)
        EventMessage(EVENT_LOG_FOLDER_PROTECTED,
                     "Capture: folder %s %s; its DACL is now protected: SYSTEM and Administrators only\n", dir, why);
    CaptureTime now;
    CaptureNow(&now);
    if (CaptureFormatName(CaptureName, sizeof CaptureName, dir, CAPTURE_PATH_SEPARATOR, &now) < 0) {
        LogPlaceRelease(&CapturePlace);
        return 0;
    }
    // Emptied: a second run within the same second reuses the name; text mode, so every line
    // ends in CR LF on Windows.
    CaptureFile = LogPlaceOpen(CaptureName, LOG_OPEN_EMPTY, why, sizeof why);
    if (CaptureFile == nullptr) {
        EventMessage(EVENT_LOG_REFUSED, "Capture: file %s %s; capture log off\n", CaptureName, why);
        LogPlaceRelease(&CapturePlace);
        return 0;
    }
    return 1;
}

void CaptureOpen() { CaptureOpenIn(CAPTURE_DEBUG_DIR); }

void CaptureSetCap(unsigned long bytes) { CaptureCap = bytes; }

void CaptureWrite(size_t length, const uint8_t* data)
{
    if (CaptureFile == nullptr)
        return;
    if (data == nullptr || length < CAPTURE_STAMP_SIZE) {
        TraceMessage("Capture: record of %u bytes is shorter than its %u-byte time stamp; dropped\n",
                     static_cast<unsigned>(data == nullptr ? 0 : length), static_cast<unsigned>(CAPTURE_STAMP_SIZE));
        return;
    }
    CaptureTime now;
    CaptureNow(&now);
    char line[CAPTURE_LINE_SIZE];
    int n = CaptureFormatLine(line, sizeof line, length, data, &now);
    if (n < 0)
        return;
    fwrite(line, 1, static_cast<size_t>(n), CaptureFile);
    fflush(CaptureFile);
    RollCaptureOver();
}

void CaptureClose()
{
    if (CaptureFile == nullptr)
        return;
    fclose(CaptureFile);
    CaptureFile = nullptr;
    LogPlaceRelease(&CapturePlace);
}
