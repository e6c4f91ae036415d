#include "options.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

const char SimUsage[] =
    "Usage: termsim [options]\n"
    "Plays the payment terminal's five applications (Master 33332, MBCA 33334, Maint 33335,\n"
    "Fleet 33333, Petro 33336) on the terminal's side of the UDP link.\n"
    "\n"
    "Addresses (only 127.0.0.0/8 and 198.18.0.0/15 are accepted):\n"
    "  --peer=ADDR           the service's address (default 198.18.0.1)\n"
    "  --bind=ADDR|any       local address of the sockets (default 198.18.0.2)\n"
    "  --apps=LIST           applications to play (default all)\n"
    "Behaviour:\n"
    "  --reply=all|none|LIST answer commands with a response: command | 0x8000, status 0,\n"
    "                        the same data (default all)\n"
    "  --echo=APP[,COUNT]    send COUNT (default 1) ECHO requests to APP (a name or all);\n"
    "                        may be repeated\n"
    "  --send=N              send N numbered packets (command 0x0200) per application\n"
    "  --send-apps=LIST      applications that send them (default all)\n"
    "  --send-size=BYTES     data bytes of a numbered packet, 12 to 600 (default 12)\n"
    "  --start-seq=N         number of our first data frame, 0 to 255 (default 0)\n"
    "  --silent              receive and count, never acknowledge or send\n"
    "Faults, per direction (in: from the service, out: to it), reproducible with --seed:\n"
    "  --seed=N              seed of the fault decisions (default 1)\n"
    "  --in-drop=P --in-dup=P --in-reorder=P --in-delay-ms=MS\n"
    "  --out-drop=P --out-dup=P --out-reorder=P --out-delay-ms=MS\n"
    "                        P is a probability from 0 to 1; a reordered datagram is held back\n"
    "                        until the next one of that application and direction has passed\n"
    "                        (at most 1 s); each datagram is delayed by 0 to MS milliseconds\n"
    "Ending and output:\n"
    "  --time=SEC            stop after SEC seconds\n"
    "  --idle=SEC            stop after SEC seconds with no datagram and nothing to send\n"
    "  --log=FILE|-          log every datagram in and out to FILE or standard error\n"
    "  --help                this text\n"
    "SIGINT and SIGTERM end the run. Standard output gets \"ready ...\" once the sockets are\n"
    "bound, and at the end the summary: one line\n"
    "\"app=NAME key=value ...\" per application, \"total key=value ...\", and lines\n"
    "\"abandoned app=NAME num=N\" and \"missing app=NAME num=N\" for numbered packets.\n"
    "Exit code: 0 after a run, 1 when a socket cannot be set up, 2 for a bad command line.\n";

namespace {

bool ParseDouble(const char* s, double lo, double hi, double* out)
{
    char* end = nullptr;
    errno = 0;
    double v = strtod(s, &end);
    if (errno != 0 || end == s || *end != '\0' || !(v >= lo && v <= hi))
        return false;
    *out = v;
    return true;
}

bool ParseUnsigned(const char* s, uint64_t hi, uint64_t* out)
{
    if (*s < '0' || *s > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 10);
    if (errno != 0 || *end != '\0' || v > hi)
        return false;
    *out = v;
    return true;
}

bool ParseAddress(const char* s, char* out)
{
    in_addr a;
    if (strlen(s) >= 16 || inet_pton(AF_INET, s, &a) != 1)
        return false;
    strcpy(out, s);
    return true;
}

int AppIndexOf(const char* name, size_t len)
{
    for (int i = 0; i < APP_COUNT; ++i)
        if (strlen(AppTable[i].Name) == len && strncasecmp(AppTable[i].Name, name, len) == 0)
            return i;
    if (len == 1 && name[0] >= '0' && name[0] < '0' + APP_COUNT)
        return name[0] - '0';
    return -1;
}

// "--name=value" matches name and gives value; "--name" alone gives "".
const char* Match(const char* arg, const char* name)
{
    size_t n = strlen(name);
    if (strncmp(arg, name, n) != 0)
        return nullptr;
    if (arg[n] == '=')
        return arg + n + 1;
    if (arg[n] == '\0')
        return arg + n;
    return nullptr;
}

bool ParseFault(const char* arg, FaultConfig* cfg, const char* prefix, bool* bad)
{
    char name[32];
    const char* v;
    snprintf(name, sizeof name, "--%s-drop", prefix);
    if ((v = Match(arg, name)))
        return (*bad = !ParseDouble(v, 0, 1, &cfg->Drop)), true;
    snprintf(name, sizeof name, "--%s-dup", prefix);
    if ((v = Match(arg, name)))
        return (*bad = !ParseDouble(v, 0, 1, &cfg->Dup)), true;
    snprintf(name, sizeof name, "--%s-reorder", prefix);
    if ((v = Match(arg, name)))
        return (*bad = !ParseDouble(v, 0, 1, &cfg->Reorder)), true;
    snprintf(name, sizeof name, "--%s-delay-ms", prefix);
    if ((v = Match(arg, name))) {
        uint64_t ms = 0;
        *bad = !ParseUnsigned(v, 60000, &ms);
        cfg->DelayMs = int(ms);
        return true;
    }
    return false;
}

}  // namespace

int SimParseAppList(const char* text)
{
    if (strcasecmp(text, "all") == 0)
        return APP_MASK_ALL;
    if (strcasecmp(text, "none") == 0)
        return 0;
    int mask = 0;
    const char* p = text;
    while (true) {
        const char* comma = strchr(p, ',');
        size_t len = comma ? size_t(comma - p) : strlen(p);
        int idx = AppIndexOf(p, len);
        if (idx < 0)
            return -1;
        mask |= AppMaskOf(idx);
        if (!comma)
            break;
        p = comma + 1;
    }
    return mask;
}

bool SimAddressAllowed(const char* dotted)
{
    in_addr a;
    if (inet_pton(AF_INET, dotted, &a) != 1)
        return false;
    const uint32_t h = ntohl(a.s_addr);
    return (h >> 24) == 127 || (h & 0xFFFE0000u) == 0xC6120000u;
}

void SimOptionsDefault(SimOptions* o)
{
    memset(o, 0, sizeof *o);
    strcpy(o->Peer, "198.18.0.1");
    strcpy(o->Bind, "198.18.0.2");
    o->Apps = APP_MASK_ALL;
    o->Reply = APP_MASK_ALL;
    o->SendSize = 12;
    o->Seed = 1;
}

int SimParseOptions(int argc, char** argv, SimOptions* o, char* err, size_t errSize)
{
    uint8_t sendApps = APP_MASK_ALL;
    uint64_t sendCount = 0;
    err[0] = '\0';
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* v;
        bool bad = false;
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            return SIM_PARSE_HELP;
        } else if ((v = Match(arg, "--peer"))) {
            bad = !ParseAddress(v, o->Peer) || !SimAddressAllowed(o->Peer);
        } else if ((v = Match(arg, "--bind"))) {
            if (strcasecmp(v, "any") == 0)
                strcpy(o->Bind, "0.0.0.0");
            else
                bad = !ParseAddress(v, o->Bind) || !SimAddressAllowed(o->Bind);
        } else if ((v = Match(arg, "--apps"))) {
            int m = SimParseAppList(v);
            bad = m <= 0;
            o->Apps = uint8_t(m);
        } else if ((v = Match(arg, "--reply"))) {
            int m = SimParseAppList(v);
            bad = m < 0;
            o->Reply = uint8_t(m);
        } else if ((v = Match(arg, "--echo"))) {
            char name[32];
            const char* comma = strchr(v, ',');
            size_t len = comma ? size_t(comma - v) : strlen(v);
            uint64_t count = 1;
            if (len == 0 || len >= sizeof name || (comma && !ParseUnsigned(comma + 1, 1000000, &count))) {
                bad = true;
            } else {
                memcpy(name, v, len);
                name[len] = '\0';
                int m = SimParseAppList(name);
                bad = m <= 0;
                for (int a = 0; !bad && a < APP_COUNT; ++a)
                    if (m & AppMaskOf(a))
                        o->Echo[a] += uint32_t(count);
            }
        } else if ((v = Match(arg, "--send"))) {
            bad = !ParseUnsigned(v, 100000000, &sendCount);
        } else if ((v = Match(arg, "--send-apps"))) {
            int m = SimParseAppList(v);
            bad = m < 0;
            sendApps = uint8_t(m);
        } else if ((v = Match(arg, "--send-size"))) {
            uint64_t n = 0;
            bad = !ParseUnsigned(v, MAX_PACKET_DATA, &n) || n < 12;
            o->SendSize = uint32_t(n);
        } else if ((v = Match(arg, "--port-offset"))) {
            uint64_t n = 0;
            bad = !ParseUnsigned(v, 30000, &n);
            o->PortOffset = uint16_t(n);
        } else if ((v = Match(arg, "--start-seq"))) {
            uint64_t n = 0;
            bad = !ParseUnsigned(v, 255, &n);
            o->StartSeq = uint8_t(n);
        } else if (strcmp(arg, "--silent") == 0) {
            o->Silent = true;
        } else if ((v = Match(arg, "--seed"))) {
            bad = !ParseUnsigned(v, UINT64_MAX, &o->Seed);
        } else if (ParseFault(arg, &o->In, "in", &bad) || ParseFault(arg, &o->Out, "out", &bad)) {
        } else if ((v = Match(arg, "--time"))) {
            bad = !ParseDouble(v, 0, 1e6, &o->TimeLimit);
        } else if ((v = Match(arg, "--idle"))) {
            bad = !ParseDouble(v, 0, 1e6, &o->IdleLimit);
        } else if ((v = Match(arg, "--log"))) {
            bad = strlen(v) == 0 || strlen(v) >= sizeof o->Log;
            if (!bad)
                strcpy(o->Log, v);
        } else {
            snprintf(err, errSize, "unknown option: %s", arg);
            return SIM_PARSE_ERROR;
        }
        if (bad) {
            snprintf(err, errSize, "bad value: %s", arg);
            return SIM_PARSE_ERROR;
        }
    }
    for (int a = 0; a < APP_COUNT; ++a)
        o->Send[a] = (sendApps & AppMaskOf(a)) ? uint32_t(sendCount) : 0;
    if (o->Silent) {
        for (int a = 0; a < APP_COUNT; ++a)
            if (o->Echo[a] || o->Send[a]) {
                snprintf(err, errSize, "--silent sends nothing: drop --echo and --send");
                return SIM_PARSE_ERROR;
            }
    }
    return SIM_PARSE_OK;
}
