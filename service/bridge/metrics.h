// The service's health for a fleet's monitoring: a Prometheus text-format file that a textfile
// collector (windows_exporter, node_exporter) serves. Formatting and the path rule are plain
// code; the file is written by metrics_file_win.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client_wire.h"
#include "term_packet.h"

// The file is rewritten this often, on the bridge's tick: nothing wakes the service for it.
constexpr uint32_t METRICS_INTERVAL_MS = 10000;
// Room for the whole text: five applications with every family, and the service's own lines.
constexpr size_t METRICS_TEXT_SIZE = 8192;
// Suffix of the temporary file beside the metrics file; collectors read only "*.prom".
constexpr char METRICS_TEMP_SUFFIX[] = ".tmp";

// Notices by reason, indexed by the NoticeReason value (0 unused).
constexpr int METRICS_NOTICE_SLOTS = NOTICE_HELD_COUNT + 1;

// One moment of the service, as the bridge sees it.
struct MetricsSample {
    AppHealth Apps[APP_COUNT];  // in AppTable's order
    uint32_t Held;              // answers held for the next client
    uint32_t HeldDropped;       // since the start, for either reason
    uint32_t Notices[METRICS_NOTICE_SLOTS];
    int32_t ClientConnected;    // 1 while a client is attached to the pipe
    int64_t StartSeconds;       // the service's start, seconds since 1970-01-01 UTC
    const char* Version;        // dotted, as the file version resource
};

// Writes the sample as Prometheus text: HELP and TYPE for each family, one line per sample.
// Returns the length, or 0 when it does not fit in size bytes (out then holds no text).
size_t FormatMetrics(const MetricsSample* s, char* out, size_t size);

enum MetricsPathRule {
    METRICS_PATH_USABLE = 0,
    METRICS_PATH_NOT_FULL = 1,  // not a drive letter, colon and backslash, nor \\server\share\...
    METRICS_PATH_TOO_LONG = 2,  // no room for the temporary name within MAX_PATH
    METRICS_PATH_NO_NAME = 3,   // ends in a folder separator
};
// Judges the registry's MetricsFile value: only a full path, so that the service, whose
// current folder is the system's, never writes somewhere its administrator did not name.
MetricsPathRule JudgeMetricsPath(const char* path);
const char* MetricsPathText(MetricsPathRule rule);
