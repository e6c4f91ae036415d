#include "term_packet.h"

const AppEntry AppTable[APP_COUNT + 1] = {
    {33332, "Master"}, {33334, "MBCA"}, {33335, "Maint"}, {33333, "Fleet"}, {33336, "Petro"}, {0, nullptr},
};
