// The trace sink and the rules of a trace line; the platform parts live in debug_os.h.
#include "debug.h"

#include <cstdio>
#include <cstring>

#include "debug_os.h"
#include "log_place.h"

bool ConsoleDebug = false;

namespace {

FILE* TraceSink = nullptr;
bool Tracing = false;
bool AtLineStart = true;
unsigned long TraceCap = TRACE_CAP_DEFAULT;
// The trace file's name, for its rollover; empty for standard error or a name too long to keep.
constexpr size_t TRACE_NAME_SIZE = 260;
char TraceName[TRACE_NAME_SIZE] = "";
// The trace file's folder, held while the file is the sink.
LogPlace TracePlace = {0};
// The trace file's size as last asked, and the bytes written to it since. Asking costs system
// calls, too many for every line; a text-mode file grows by at most twice what is written (a
// line feed becomes two bytes), so while even that stays under the cap the file cannot have
// reached it and is not asked. SIZE_UNKNOWN (a new sink, or a failed ask) is past any cap: the
// next line asks.
constexpr unsigned long long SIZE_UNKNOWN = ~0ULL;
unsigned long long TraceSizeAsked = SIZE_UNKNOWN;
unsigned long TraceWritten = 0;

// The line being built: its pieces are gathered here and the line goes out in one write.
constexpr size_t LINE_SIZE = 2048;
char Line[LINE_SIZE];
size_t LineLen = 0;

// Whole lines for a console held back while the bridge serves one wake (see TraceHold).
constexpr size_t HELD_SIZE = 16384;
char Held[HELD_SIZE];
size_t HeldLen = 0;
bool Holding = false;

constexpr size_t EVENT_TEXT_SIZE = 1024;
constexpr size_t EVENT_FIRST_SIZE = 4096;
constexpr size_t SYSTEM_TEXT_SIZE = 1024;

void LineWrite();
void WriteHeld();

void InstallSink(FILE* stream)
{
    if (TraceSink == nullptr) {
        DiagLockCreate();
    } else {
        LineWrite();  // an unfinished line stays with the sink it was started for
        WriteHeld();
    }
    if (TraceSink != nullptr && TraceSink != stderr)
        fclose(TraceSink);
    LogPlaceRelease(&TracePlace);
    TraceSink = stream;
    TraceSizeAsked = SIZE_UNKNOWN;
    TraceWritten = 0;
}

void LineAppend(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends one formatted piece to the line. A piece that does not fit is written at once, after
// what the line holds so far: the trace is never cut.
void LineAppendV(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    size_t room = LINE_SIZE - LineLen;
    int n = vsnprintf(Line + LineLen, room, format, copy);
    va_end(copy);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < room) {
        LineLen += static_cast<size_t>(n);
        return;
    }
    WriteHeld();
    fwrite(Line, 1, LineLen, TraceSink);
    TraceWritten += LineLen;
    LineLen = 0;
    int more = vfprintf(TraceSink, format, args);
    if (more > 0)
        TraceWritten += static_cast<unsigned long>(more);
}

void LineAppend(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LineAppendV(format, args);
    va_end(args);
}

// One write and, for a file, one flush per line: a reader of the file never sees half a line,
// and a console gets one write instead of one per piece.
void WriteHeld()
{
    if (HeldLen > 0)
        DiagWriteStream(stderr, Held, HeldLen);
    HeldLen = 0;
}

void LineWrite()
{
    if (TraceSink == stderr) {
        if (Holding && LineLen <= HELD_SIZE - HeldLen) {
            memcpy(Held + HeldLen, Line, LineLen);
            HeldLen += LineLen;
            LineLen = 0;
            return;
        }
        WriteHeld();
        fflush(stderr);
        DiagWriteStream(stderr, Line, LineLen);
    } else {
        fwrite(Line, 1, LineLen, TraceSink);
        fflush(TraceSink);
        TraceWritten += LineLen;
    }
    LineLen = 0;
}

void WriteLineHead()
{
    if (TraceSink != stderr) {
        DiagTime t;
        DiagNowUtc(&t);
        LineAppend("%04d-%02d-%02d %02d:%02d:%02d.%03d ", t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second,
                   t.Millisecond);
    }
    LineAppend("[0x%08lx-0x%08lx]: ", DiagProcessId(), DiagThreadId());
}

// Called under the lock at a line's end; the new file starts with the line that says why.
void RollTraceOver()
{
    if (TraceName[0] == '\0' || TraceCap == 0)
        return;
    if (TraceSizeAsked < TraceCap && TraceWritten <= (TraceCap - 1 - TraceSizeAsked) / 2)
        return;
    long long size = 0;
    int rolled = RollLogOver(&TraceSink, TraceName, TraceCap, &size);
    if (rolled != LOG_KEPT)
        TraceSizeAsked = 0;
    else
        TraceSizeAsked = size < 0 ? SIZE_UNKNOWN : static_cast<unsigned long long>(size);
    TraceWritten = 0;
    if (rolled == LOG_KEPT)
        return;
    if (TraceSink == nullptr) {
        Tracing = false;
        return;
    }
    WriteLineHead();
    if (rolled == LOG_ROLLED)
        LineAppend("Trace: %s reached %lld bytes; rolled over to %s.1\n", TraceName, size, TraceName);
    else
        LineAppend("Trace: %s reached %lld bytes and could not be renamed; emptied\n", TraceName, size);
    LineWrite();
}

// The one writer behind TraceMessage and LogMessage. A line may be built from several pieces:
// only a piece whose format ends in a line feed ends the line.
bool TracePiece(const char* format, va_list args)
{
    if (TraceSink == nullptr)
        return false;
    DiagLockEnter();
    if (AtLineStart)
        WriteLineHead();
    if (format == nullptr) {
        AtLineStart = true;
    } else {
        LineAppendV(format, args);
        size_t len = strlen(format);
        if (len > 0)
            AtLineStart = format[len - 1] == '\n';
    }
    // The line goes out at its end, and also where its text ends a line of the file.
    if (AtLineStart || (LineLen > 0 && Line[LineLen - 1] == '\n')) {
        LineWrite();
        if (AtLineStart && TraceSink != stderr)
            RollTraceOver();
    }
    DiagLockLeave();
    return true;
}

bool Detached() { return !ConsoleDebug; }

}  // namespace

bool OpenTrace(const char* name)
{
    if (name == nullptr)
        return Tracing;
    FILE* stream = stderr;
    LogPlace place = {0};
    if (strcmp(name, "-") != 0) {
        stream = OpenLogFile("Trace", name, &place);
        if (stream == nullptr)
            return Tracing;
    }
    InstallSink(stream);
    TracePlace = place;
    Tracing = true;
    size_t len = strlen(name);
    if (stream != stderr && len < sizeof TraceName)
        memcpy(TraceName, name, len + 1);
    else
        TraceName[0] = '\0';
    // A file left above its cap by an earlier run rolls over now, before it grows further.
    DiagLockEnter();
    RollTraceOver();
    DiagLockLeave();
    return Tracing;
}

void SetTraceCap(unsigned long bytes)
{
    if (TraceSink != nullptr)
        DiagLockEnter();
    TraceCap = bytes;
    if (TraceSink != nullptr)
        DiagLockLeave();
}

void TraceHold(bool hold)
{
    if (TraceSink == nullptr)
        return;
    DiagLockEnter();
    Holding = hold;
    if (!hold)
        WriteHeld();
    DiagLockLeave();
}

bool TraceMessage(const char* format, ...)
{
    if (!Tracing)
        return false;
    va_list args;
    va_start(args, format);
    TracePiece(format, args);
    va_end(args);
    return Tracing;
}

bool LogMessage(const char* format, ...)
{
    if (!Tracing)
        return false;
    va_list args;
    va_start(args, format);
    TracePiece(format, args);
    va_end(args);
    return Tracing;
}

// Traces the line, and writes it as the record id (first string: prefix and the line, or the line
// alone) when detached on the NT family. Whether tracing is on.
static bool TraceAndReport(unsigned long id, const char* prefix, const char* format, va_list args)
{
    if (format == nullptr || (!Tracing && !Detached()))
        return false;
    if (Tracing) {
        va_list copy;
        va_copy(copy, args);
        TracePiece(format, copy);
        va_end(copy);
    }
    if (id != 0 && IsNtFamily() && !ConsoleDebug) {
        char text[EVENT_TEXT_SIZE];
        vsnprintf(text, sizeof text, format, args);
        if (prefix == nullptr) {
            DiagWriteEvent(id, text, nullptr);
        } else {
            char first[EVENT_FIRST_SIZE];
            snprintf(first, sizeof first, "%s %s", ServiceName, prefix);
            DiagWriteEvent(id, first, text);
        }
    }
    return Tracing;
}

bool WarnMessage(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool tracing = TraceAndReport(EVENT_APP_WARNING, "warning", format, args);
    va_end(args);
    return tracing;
}

bool EventMessage(unsigned long id, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool tracing = TraceAndReport(id, nullptr, format, args);
    va_end(args);
    return tracing;
}

bool LogError(const char* label, long code)
{
    if (!Tracing && !Detached())
        return false;
    unsigned long lastError = DiagLastError();
    char text[SYSTEM_TEXT_SIZE];
    if (!DiagSystemText(code, text, sizeof text))
        strcpy(text, "?!?!?!?!");
    DiagSetLastError(lastError);
    EventMessage(EVENT_SYSTEM_ERROR, "Error '%s' -> %ld, 0x%lx = '%s'\n", label ? label : "", code,
                 static_cast<unsigned long>(code), text);
    return true;
}

bool ReportServiceEvent(const char* text)
{
    if (text != nullptr && IsNtFamily() && !ConsoleDebug) {
        unsigned long lastError = DiagLastError();
        char first[EVENT_FIRST_SIZE];
        if (lastError != 0) {
            snprintf(first, sizeof first, "%s error: %d: %s", ServiceName, static_cast<int>(lastError), text);
            DiagWriteEvent(EVENT_SYSTEM_ERROR, first, nullptr);
        } else {
            snprintf(first, sizeof first, "%s: %s", ServiceName, text);
            DiagWriteEvent(EVENT_APP_INFO, first, nullptr);
        }
    }
    return Detached();
}

FILE* OpenLogFile(const char* what, const char* name, LogPlace* place)
{
    char why[LOG_WHY_SIZE];
    char dir[LOG_PATH_SIZE];
    if (!LogFolderOf(name, dir, sizeof dir)) {
        EventMessage(EVENT_LOG_REFUSED, "%s: %s refused: it names no folder the service can judge; the log stays off\n",
                     what, name);
        return nullptr;
    }
    if (!LogPlaceTake(dir, false, place, nullptr, why, sizeof why)) {
        EventMessage(EVENT_LOG_REFUSED, "%s: %s refused: folder %s %s; the log stays off\n", what, name, dir, why);
        return nullptr;
    }
    if (!LogPlaceCheck(name, why, sizeof why)) {
        LogPlaceRelease(place);
        EventMessage(EVENT_LOG_REFUSED, "%s: %s refused: folder %s %s; the log stays off\n", what, name, dir, why);
        return nullptr;
    }
    FILE* stream = LogPlaceOpen(name, LOG_OPEN_APPEND, why, sizeof why);
    if (stream == nullptr) {
        LogPlaceRelease(place);
        EventMessage(EVENT_LOG_REFUSED, "%s: %s refused: the file %s; the log stays off\n", what, name, why);
    }
    return stream;
}

int RollLogOver(FILE** file, const char* name, unsigned long cap, long long* size)
{
    *size = DiagFileSize(*file);
    if (cap == 0 || *size < 0 || static_cast<unsigned long long>(*size) < cap)
        return LOG_KEPT;
    char old[FILENAME_MAX + 2];
    snprintf(old, sizeof old, "%s.1", name);
    fclose(*file);
    remove(old);
    bool renamed = rename(name, old) == 0;
    char why[LOG_WHY_SIZE];
    *file = LogPlaceOpen(name, renamed ? LOG_OPEN_APPEND : LOG_OPEN_EMPTY, why, sizeof why);
    if (*file == nullptr)
        TraceMessage("%s cannot be opened again: the file %s\n", name, why);
    return renamed ? LOG_ROLLED : LOG_EMPTIED;
}
