// termsim's parseable summary: the given-up and missing numbers, one line of counters per
// application, a total line, the faults per direction and the run. Scripts read these lines by
// name=value, so names and order stay as they are.
#include <cstdio>

#include "sim.h"

namespace {

struct Counter {
    const char* Name;
    uint32_t (*Get)(const AppState* a);
    bool InTotal;  // summed into the "total" line
};

// One table for the per-application lines and the total line, in print order.
const Counter Counters[] = {
    {"data_in", [](const AppState* a) { return a->Link.C.DataIn; }, true},
    {"delivered_in", [](const AppState* a) { return a->Link.C.DeliveredIn; }, true},
    {"dup_suppressed", [](const AppState* a) { return a->Link.C.DupSuppressed; }, true},
    {"retrans_seen", [](const AppState* a) { return a->Link.C.RetransSeen; }, true},
    {"nak_sent", [](const AppState* a) { return a->Link.C.NakSent; }, true},
    {"stale_sync", [](const AppState* a) { return a->Link.C.StaleSync; }, false},
    {"sent_out", [](const AppState* a) { return a->Link.C.SentOut; }, true},
    {"delivered_out", [](const AppState* a) { return a->Link.C.AckRecv; }, true},
    {"abandoned", [](const AppState* a) { return a->Link.C.Abandoned; }, true},
    {"retransmits", [](const AppState* a) { return a->Link.C.Retransmits; }, true},
    {"nak_recv", [](const AppState* a) { return a->Link.C.NakRecv; }, true},
    {"nak_resends", [](const AppState* a) { return a->Link.C.NakResends; }, true},
    {"stale_nak", [](const AppState* a) { return a->Link.C.StaleNak; }, false},
    {"stale_ack", [](const AppState* a) { return a->Link.C.StaleAck; }, false},
    {"own_direction", [](const AppState* a) { return a->Link.C.OwnDirection; }, false},
    {"malformed", [](const AppState* a) { return a->Link.C.Malformed; }, true},
    {"queue_full", [](const AppState* a) { return a->Link.C.QueueFull; }, false},
    {"replies", [](const AppState* a) { return a->Replies; }, true},
    {"responses", [](const AppState* a) { return a->Responses; }, true},
    {"echo_resp", [](const AppState* a) { return a->EchoResp; }, true},
    {"foreign", [](const AppState* a) { return a->Foreign; }, true},
    {"oversize", [](const AppState* a) { return a->Oversize; }, true},
    {"soak_in_ok", [](const AppState* a) { return a->Soak.Accepted; }, true},
    {"soak_in_missing", [](const AppState* a) { return a->Soak.Missing; }, true},
    {"soak_in_repeats", [](const AppState* a) { return a->Soak.Repeats; }, true},
    {"soak_in_damaged", [](const AppState* a) { return a->Soak.Damaged; }, true},
    {"soak_out_sent", [](const AppState* a) { return a->SendNext; }, false},
};
constexpr int COUNTER_COUNT = sizeof Counters / sizeof Counters[0];

// The numbers given up by termsim's links and those that never arrived from the service.
void PrintNumbers(Sim* s)
{
    for (int i = 0; i < APP_COUNT; ++i) {
        AppState* a = &s->Apps[i];
        if (!a->Active)
            continue;
        for (uint32_t k = 0; k < a->Abandoned.Count && k < NUM_LIST_SIZE; ++k)
            printf("abandoned app=%s num=%u\n", AppTable[i].Name, a->Abandoned.Nums[k]);
        const uint32_t first = a->Soak.Next;
        const uint32_t rest = SoakTrackFinish(&a->Soak);
        for (uint32_t k = 0; k < rest; ++k)
            NumListAdd(&a->Missing, first + k);
        for (uint32_t k = 0; k < a->Missing.Count && k < NUM_LIST_SIZE; ++k)
            printf("missing app=%s num=%u\n", AppTable[i].Name, a->Missing.Nums[k]);
    }
}

}  // namespace

void PrintSummary(Sim* s, int64_t now)
{
    PrintNumbers(s);
    uint32_t total[COUNTER_COUNT] = {};
    for (int i = 0; i < APP_COUNT; ++i) {
        const AppState* a = &s->Apps[i];
        if (!a->Active)
            continue;
        printf("app=%s port=%u", AppTable[i].Name, AppTable[i].Port);
        for (int k = 0; k < COUNTER_COUNT; ++k) {
            uint32_t v = Counters[k].Get(a);
            total[k] += v;
            printf(" %s=%u", Counters[k].Name, v);
        }
        printf("\n");
    }
    printf("total");
    for (int k = 0; k < COUNTER_COUNT; ++k)
        if (Counters[k].InTotal)
            printf(" %s=%u", Counters[k].Name, total[k]);
    printf("\n");
    for (int dir = 0; dir < 2; ++dir) {
        const FaultCounters& f = s->Faults[dir];
        printf("faults dir=%s dropped=%u duplicated=%u reordered=%u delayed=%u\n", DirName[dir], f.Dropped,
               f.Duplicated, f.Reordered, f.Delayed);
    }
    printf("run seconds=%.3f seed=%llu delay_overflow=%u\n", double(now - s->StartMs) / 1000.0,
           static_cast<unsigned long long>(s->Opt.Seed), s->QueueOverflow);
    fflush(stdout);
}
