#include "wait_order.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint32_t LINK0 = FIRST_TERMINAL_SLOT;
constexpr uint32_t LINK4 = FIRST_TERMINAL_SLOT + 4;

// The slot a wait reports when the slots in ready stay signalled: the first of them in the order.
uint32_t Reported(const WaitOrder& w, const std::vector<uint32_t>& ready)
{
    for (uint32_t slot : w.Slots)
        for (uint32_t r : ready)
            if (slot == r)
                return slot;
    return WAIT_COUNT;
}

// Runs the loop against handles that never stop being signalled: the slots served, in order.
std::vector<uint32_t> Serve(const std::vector<uint32_t>& ready, int wakes)
{
    WaitOrder w = {};
    std::vector<uint32_t> served;
    for (int i = 0; i < wakes; ++i) {
        OrderWaits(&w);
        uint32_t slot = Reported(w, ready);
        served.push_back(slot);
        NoteServed(&w, slot);
    }
    return served;
}

// However busy the others, every signalled handle is served within one round, and the order is
// always every slot once with the stop event first.
TEST(WaitOrder, EverySignalledHandleIsServedWithinOneRound)
{
    const std::vector<std::vector<uint32_t>> cases = {
        {WAIT_PIPE, WAIT_PIPE_WRITE, LINK0, LINK0 + 1, LINK0 + 2, LINK0 + 3, LINK4},
        {WAIT_PIPE, LINK4},
        {WAIT_PIPE, WAIT_PIPE_WRITE},
        {LINK0, LINK4},
        {LINK0 + 2, WAIT_PIPE_WRITE},
        {WAIT_PIPE},
        {LINK0 + 3},
    };
    const int bound = ROUND_SLOTS;
    for (const auto& ready : cases) {
        std::vector<uint32_t> served = Serve(ready, 10 * bound);
        for (uint32_t slot : ready) {
            int since = 0;
            for (uint32_t s : served) {
                since = s == slot ? 0 : since + 1;
                ASSERT_LT(since, bound) << "slot " << slot << " of a set of " << ready.size();
            }
        }
    }
    WaitOrder w = {};
    for (int i = 0; i < 3 * bound; ++i) {
        OrderWaits(&w);
        std::vector<int> seen(WAIT_COUNT, 0);
        for (uint32_t slot : w.Slots)
            ++seen[slot < WAIT_COUNT ? slot : 0];
        EXPECT_EQ(std::vector<int>(WAIT_COUNT, 1), seen);
        EXPECT_EQ(WAIT_STOP, w.Slots[0]);
        NoteServed(&w, i % 3 == 0 ? WAIT_PIPE : LINK0 + static_cast<uint32_t>(i % APP_COUNT));
    }
}

// The client takes its turn with the links, not before them: while both stay signalled they
// alternate, so that the links' answers let the client's next commands gather in the pipe.
TEST(WaitOrder, PipeTakesItsTurnWithTheLinks)
{
    const std::vector<uint32_t> expected = {WAIT_PIPE, LINK0, LINK4, WAIT_PIPE, LINK0, LINK4};
    EXPECT_EQ(expected, Serve({WAIT_PIPE, LINK0, LINK4}, 6));
}

}  // namespace
