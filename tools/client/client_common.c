/* dulvex-client's shared pieces. */
#include "client_common.h"

int ExitFor(int result)
{
    switch (result) {
    case DULVEX_E_TIMEOUT: return EXIT_TIMEOUT;
    case DULVEX_E_PROTOCOL: return EXIT_PROTOCOL;
    case DULVEX_E_ARGUMENT:
    case DULVEX_E_TOO_LONG: return EXIT_USAGE;
    default: return EXIT_IO;
    }
}
