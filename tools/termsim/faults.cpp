#include "faults.h"

void SimRngSeed(SimRng* rng, uint64_t seed) { rng->State = seed; }

// splitmix64: tiny, and the same sequence on every platform and compiler.
uint64_t SimRngNext(SimRng* rng)
{
    uint64_t z = (rng->State += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double SimRngUnit(SimRng* rng) { return double(SimRngNext(rng) >> 11) * (1.0 / 9007199254740992.0); }

bool FaultConfigIsClean(const FaultConfig* cfg)
{
    return cfg->Drop <= 0 && cfg->Dup <= 0 && cfg->Reorder <= 0 && cfg->DelayMs <= 0;
}

FaultPlan FaultDecide(const FaultConfig* cfg, SimRng* rng)
{
    const double drop = SimRngUnit(rng);
    const double dup = SimRngUnit(rng);
    const double hold = SimRngUnit(rng);
    const double delay = SimRngUnit(rng);
    FaultPlan plan{};
    plan.Drop = drop < cfg->Drop;
    if (plan.Drop)
        return plan;
    plan.Dup = dup < cfg->Dup;
    plan.Hold = hold < cfg->Reorder;
    plan.DelayMs = cfg->DelayMs > 0 ? int(delay * (cfg->DelayMs + 1)) : 0;
    if (plan.DelayMs > cfg->DelayMs)
        plan.DelayMs = cfg->DelayMs;
    return plan;
}
