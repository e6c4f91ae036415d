// Reproducible fault injection for one direction of the link: each datagram is dropped,
// duplicated, held back behind the next one, or delayed, by rates and a seed.
// Plain code: decisions only; the caller moves the datagrams.
#pragma once

#include <cstdint>

struct SimRng {
    uint64_t State;
};

void SimRngSeed(SimRng* rng, uint64_t seed);
uint64_t SimRngNext(SimRng* rng);
// Uniform in [0, 1).
double SimRngUnit(SimRng* rng);

struct FaultConfig {
    double Drop;     // probability that a datagram is lost
    double Dup;      // probability that it is passed on twice
    double Reorder;  // probability that it is held back until the next one has passed
    int DelayMs;     // each datagram is delayed by a uniform 0 to DelayMs milliseconds
};

struct FaultPlan {
    bool Drop;
    bool Dup;
    bool Hold;
    int DelayMs;
};

// True when the configuration changes nothing.
bool FaultConfigIsClean(const FaultConfig* cfg);

// One decision per datagram. Draws a fixed number of values whatever the outcome, so the
// decisions for later datagrams depend only on the seed and the datagram's position.
FaultPlan FaultDecide(const FaultConfig* cfg, SimRng* rng);
