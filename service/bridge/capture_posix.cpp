// POSIX side of the capture log, for building and testing the plain code off Windows.
#include "capture.h"

const char CAPTURE_PATH_SEPARATOR = '/';
