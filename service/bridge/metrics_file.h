// The metrics file's one write: the text goes to a temporary file beside it, which then takes
// the file's name, so that a collector reading at any moment sees a whole file, old or new.
#pragma once

#include <cstddef>

// 0 when written; else the system's error code of the step that failed.
unsigned long MetricsWriteFile(const char* path, const char* text, size_t len);
