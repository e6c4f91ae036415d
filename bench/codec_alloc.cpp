// Heap allocations of the pipe's wire format per message in the steady state: decodes client
// messages of every size into the one packet record and encodes packets back as messages to
// the client, as the bridge does for each message, counting every malloc, calloc, realloc and
// operator new made meanwhile. The link's own count comes from link_bench. Exit code 0 when no
// allocation was made, 1 otherwise.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc_counter.h"
#include "client_wire.h"

int main(int argc, char** argv)
{
    long messages = argc > 1 ? atol(argv[1]) : 100000;
    static uint8_t in[MAX_PACKET_DATA + 8], out[MAX_CLIENT_OUT];
    static TermPacket pkt;
    ClientMsg msg;
    long decoded = 0, encoded = 0;
    InstallCounter();
    for (size_t i = 0; i < sizeof in; ++i)
        in[i] = uint8_t(i * 13);
    // The counter must see a real allocation, or a zero below would prove nothing.
    Counting = true;
    void* volatile probe = malloc(64);
    free(probe);
    Counting = false;
    if (Allocations.exchange(0) != 1) {
        printf("codec_alloc: the allocation counter does not work in this build\n");
        return 2;
    }
    Counting = true;
    for (long k = 0; k < messages; ++k) {
        // every length from empty to one byte too long, packets and capture records
        const size_t n = size_t(k % (MAX_PACKET_DATA + 5));
        in[0] = uint8_t(k % 32);
        in[1] = uint8_t(k >> 8);
        if (DecodeClientMsg(in, n, &pkt, &msg) == CLIENT_MSG_PACKET)
            ++decoded;
        pkt.Cmd = uint16_t(0x8000 | (k & 0x7FFF));
        pkt.Len = uint32_t(k % (MAX_PACKET_DATA + 1));
        if (EncodeClientMsg(&pkt, int(k % APP_COUNT), out, sizeof out) > 0)
            ++encoded;
    }
    Counting = false;
    const long a = Allocations.load();
    printf("codec messages=%ld decoded_packets=%ld encoded=%ld allocations=%ld per_message=%.6f\n", messages,
           decoded, encoded, a, double(a) / double(messages));
    return a == 0 ? 0 : 1;
}
