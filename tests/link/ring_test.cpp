#include <gtest/gtest.h>

#include <memory>

#include "terminal.h"

namespace {

// The ring needs no socket: a zeroed record is a fresh Terminal's ring.
class Ring : public ::testing::Test {
protected:
    std::unique_ptr<Terminal> owner{new Terminal()};
    Terminal* t = owner.get();

    int Index(const Slot* slot) const { return slot == nullptr ? -1 : static_cast<int>(slot - t->Slots); }
    void Hold(uint8_t mark, uint32_t length)
    {
        Slot* slot = SlotReserve(t);
        ASSERT_NE(nullptr, slot);
        slot->Frame[2] = mark;
        SlotCommit(t, length);
    }
};

TEST_F(Ring, FreshRingOffersSlotZero)
{
    EXPECT_EQ(0, Index(SlotReserve(t)));
    EXPECT_EQ(0, Index(SlotReserve(t))) << "reserving changes nothing";
    EXPECT_EQ(0, t->SlotCount);
}

TEST_F(Ring, NineHeldOffersNoneAlthoughSlotNineIsFree)
{
    for (int i = 0; i < SLOT_LIMIT; ++i)
        Hold(static_cast<uint8_t>(i), 10);
    EXPECT_EQ(9, t->SlotCount);
    EXPECT_EQ(nullptr, SlotReserve(t));
    t->Slots[9].FrameLen = 4242;
    SlotCommit(t, 20);
    EXPECT_EQ(9, t->SlotCount);
    EXPECT_EQ(4242u, t->Slots[9].FrameLen);
}

TEST_F(Ring, WrapsFromNineToZero)
{
    t->SlotHead = 9;
    t->SlotCount = 1;
    EXPECT_EQ(0, Index(SlotReserve(t)));
    EXPECT_EQ(0, SlotPop(t));
    EXPECT_EQ(0, t->SlotHead);
}

TEST_F(Ring, SlotJustBelowTheHeadIsNeverOffered)
{
    t->SlotHead = 3;
    t->SlotCount = 8;
    EXPECT_EQ(1, Index(SlotReserve(t)));
    SlotCommit(t, 6);
    EXPECT_EQ(nullptr, SlotReserve(t)) << "slot 2 holds the frame ended last";
}

TEST_F(Ring, PeekOnEmptyRingLeavesLengthAlone)
{
    uint32_t length = 1234;
    EXPECT_EQ(nullptr, SlotPeek(t, &length));
    EXPECT_EQ(1234u, length);
}

TEST_F(Ring, PopOnEmptyRingDoesNothing)
{
    t->SlotHead = 4;
    EXPECT_EQ(0, SlotPop(t));
    EXPECT_EQ(4, t->SlotHead);
    EXPECT_EQ(0, t->SlotCount);
}

TEST_F(Ring, FramesComeOutInOrderOverManyWraps)
{
    int next = 0;
    for (int round = 0; round < 25; ++round) {
        Hold(static_cast<uint8_t>(round), 6 + round);
        if (round % 3 != 0)
            continue;
        while (t->SlotCount > 0) {
            uint32_t length = 0;
            uint8_t* frame = SlotPeek(t, &length);
            ASSERT_NE(nullptr, frame);
            EXPECT_EQ(next, frame[2]);
            EXPECT_EQ(static_cast<uint32_t>(6 + next), length);
            ++next;
            SlotPop(t);
        }
    }
    EXPECT_EQ(25, next);
    EXPECT_EQ(25 % SLOT_COUNT, t->SlotHead);
}

TEST_F(Ring, OversizedCommitIsIgnored)
{
    SlotCommit(t, FRAME_SIZE + 1);
    EXPECT_EQ(0, t->SlotCount);
    SlotCommit(t, FRAME_SIZE);
    EXPECT_EQ(1, t->SlotCount);
}

TEST(RingNone, MissingTerminal)
{
    uint32_t length = 7;
    EXPECT_EQ(nullptr, SlotReserve(nullptr));
    EXPECT_EQ(nullptr, SlotPeek(nullptr, &length));
    EXPECT_EQ(0, SlotPop(nullptr));
    SlotCommit(nullptr, 6);
    EXPECT_EQ(7u, length);
}

}  // namespace
