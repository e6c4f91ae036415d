#include "fault_model.h"

#include <cmath>

// termsim decides once per datagram and direction: lost with probability l; else doubled with
// probability d, and held back with probability r until the next datagram of its direction
// passes (or for a second at most; a doubled datagram's second copy goes on at once).
//
// One transmission succeeds when an ACK of the frame comes back before the timer sends it again.
// Dropping alone: the frame arrives with probability 1 - l; the receiver answers every copy with
// an ACK (the first copy is accepted, a later one is the "previous" frame, acknowledged again),
// each ACK lost on its own with probability l. An arrived frame brings an ACK back with
// probability 1 - l without a double and 1 - l^2 with one, (1 - l)(1 + d l) in all, so
//   Attempt = 1 - (1 - l)^2 (1 + d l).
// Holding: a copy held back in any transmission but the last goes on with the next datagram of
// its direction, the next transmission's copy or answer at the latest (or alone, a second later),
// still before the frame is given up: it costs that transmission nothing the next one does not
// make up. Only the last transmission's copy or ACK can stay held until the sender gives up,
// when nothing else crosses in its direction: the other side's frame waits for an ACK too,
// which in stop-and-wait traffic both ways is common. Counting such a hold as a loss, a datagram
// passes at once with probability a = (1 - l)(1 - r (1 - d)), and
//   LastAttempt = 1 - (1 - l)[(1 - r)(1 - d) a + (1 - r) d (1 - (1 - a)^2) + r d a].
// Resync: a frame whose number the receiver does not expect (the frame before it was given up and
// never accepted) draws a resync NAK; each of its transmissions then needs the frame, the NAK,
// the copy with FLAG_SYNC and the ACK: Resync = 1 - a^4. A plain frame is never accepted when its
// first n - 1 copies were dropped (a held one comes in time) and the last was lost or held:
// Unseen = l^(n-1) (1 - a); a resync frame given up (Resync^n at most) leaves the next one in the
// same state. In the long run the share of frames that start with a resync is
// c = Unseen / (1 - Resync^n + Unseen), so the transmissions of one frame meeting independent
// decisions,
//   GiveUpLow = Attempt^n                  (no hold ever costs a transmission, no resync)
//   GiveUp    = (1 - c) Attempt^(n-1) LastAttempt + c Resync^n   (every one that can, does).
// The link simulation (tests/reliability/link_sim.cpp) measures rates between the two.
FaultModel FaultModelOf(double loss, double dup, double reorder, int attempts)
{
    const double l = loss, d = dup, r = reorder;
    const double a = (1.0 - l) * (1.0 - r * (1.0 - d));
    FaultModel m;
    m.Attempt = 1.0 - (1.0 - l) * (1.0 - l) * (1.0 + d * l);
    m.LastAttempt = 1.0 - (1.0 - l) * ((1.0 - r) * (1.0 - d) * a + (1.0 - r) * d * (1.0 - (1.0 - a) * (1.0 - a)) +
                                       r * d * a);
    m.Unseen = std::pow(l, attempts - 1) * (1.0 - a);
    m.Resync = 1.0 - std::pow(a, 4);
    const double resyncGiveUp = std::pow(m.Resync, attempts);
    const double c = m.Unseen / (1.0 - resyncGiveUp + m.Unseen);
    m.GiveUpLow = std::pow(m.Attempt, attempts);
    m.GiveUp = (1.0 - c) * std::pow(m.Attempt, attempts - 1) * m.LastAttempt + c * resyncGiveUp;
    return m;
}

double PoissonTail(double mean, uint64_t k)
{
    if (k == 0)
        return 1.0;
    if (mean <= 0)
        return 0.0;
    // Summed from far above the mean downwards, in logarithms, so that no term underflows first.
    double top = mean + 40.0 * std::sqrt(mean) + 60.0;
    double sum = 0;
    for (double j = std::floor(top); j >= double(k); j -= 1.0)
        sum += std::exp(-mean + j * std::log(mean) - std::lgamma(j + 1.0));
    return sum;
}

// The number of give-ups among n frames is a sum of n yes/no outcomes, each of probability at
// most p = GiveUp. For k >= np + 1 the binomial tail P(Bin(n, p) >= k) is at most the Poisson
// tail with the same mean np (Anderson and Samuels, 1967), and both grow with p. So the limit is
// the smallest L >= np with P(Poisson(np) >= L + 1) < FAULT_TAIL: more than L give-ups happen by
// chance with probability below FAULT_TAIL. With no loss, p = 0 and the limit is 0.
uint64_t FaultGiveUpLimit(const FaultModel& m, uint64_t frames)
{
    const double mean = m.GiveUp * double(frames);
    uint64_t limit = uint64_t(std::ceil(mean));
    while (PoissonTail(mean, limit + 1) >= FAULT_TAIL)
        ++limit;
    return limit;
}
