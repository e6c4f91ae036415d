// Windows side of the capture log.
#include "capture.h"

const char CAPTURE_PATH_SEPARATOR = '\\';
