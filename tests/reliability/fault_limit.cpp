// fault_limit: the fault model's numbers for the reliability suite's scripts. For a loss rate, a
// duplication rate and a number of frames: the chance that one transmission fails, that a frame is
// given up, the expected give-ups and the most that chance allows (tools/termsim/fault_model.h).
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fault_model.h"
#include "simlink.h"

int main(int argc, char** argv)
{
    double loss = -1, dup = 0, reorder = 0;
    long long frames = -1;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (strncmp(a, "--loss=", 7) == 0)
            loss = atof(a + 7);
        else if (strncmp(a, "--dup=", 6) == 0)
            dup = atof(a + 6);
        else if (strncmp(a, "--reorder=", 10) == 0)
            reorder = atof(a + 10);
        else if (strncmp(a, "--frames=", 9) == 0)
            frames = atoll(a + 9);
        else
            loss = -2;
    }
    if (loss < 0 || loss >= 1 || dup < 0 || dup > 1 || reorder < 0 || reorder > 1 || frames < 0) {
        fputs("usage: fault_limit --loss=P --dup=P --reorder=P --frames=N\n"
              "Prints give_up_low= and give_up= (per frame: holds never cost a transmission, or every\n"
              "one that can), expected= and limit= (the most give-ups that chance reaches with\n"
              "probability of at least 1e-6) on one line.\n",
              stderr);
        return 2;
    }
    // The service and termsim give a frame up after the same number of transmissions.
    FaultModel m = FaultModelOf(loss, dup, reorder, SIM_RETRY_LIMIT + 1);
    printf("give_up_low=%.6g give_up=%.6g expected=%.4f limit=%" PRIu64 "\n", m.GiveUpLow, m.GiveUp,
           m.GiveUp * double(frames), FaultGiveUpLimit(m, uint64_t(frames)));
    return 0;
}
