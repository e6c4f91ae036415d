// What termsim's fault injection does to the stop-and-wait link, as numbers: the chance that a
// frame is given up, and how many give-ups chance allows in a run of a given size. Plain code,
// shared by the link simulation and the reliability suite's scripts.
#pragma once

#include <cstdint>

struct FaultModel {
    double Attempt;      // one transmission brings no ACK back, holds left aside
    double LastAttempt;  // the same, counting a hold as a loss (the last transmission's case)
    double Unseen;       // a frame is given up and was never accepted by the receiver
    double Resync;       // one transmission fails when it needs the resync exchange
    double GiveUpLow;    // a frame is given up, if holds never cost a transmission
    double GiveUp;       // a frame is given up: the most the faults can make of it
};

// Loss, duplication and reordering rates of each direction (the same both ways, as the suite
// sets them); attempts is the number of transmissions before a frame is given up.
FaultModel FaultModelOf(double loss, double dup, double reorder, int attempts);

// The largest number of give-ups among frames that chance reaches with probability of at least
// FAULT_TAIL under the model's GiveUp: a count above it means a way of losing frames that the
// fault model does not have.
constexpr double FAULT_TAIL = 1e-6;
uint64_t FaultGiveUpLimit(const FaultModel& m, uint64_t frames);

// P(X >= k) for X Poisson with mean mean.
double PoissonTail(double mean, uint64_t k);
