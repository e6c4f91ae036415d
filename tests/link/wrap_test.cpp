#include "link_wrap.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(SeqNext, WrapsFrom255To0)
{
    EXPECT_EQ(1, SeqNext(0));
    EXPECT_EQ(255, SeqNext(254));
    EXPECT_EQ(0, SeqNext(255));
}

TEST(SeqIsPrevious, OnlyTheNumberJustBelow)
{
    EXPECT_TRUE(SeqIsPrevious(0, 1));
    EXPECT_TRUE(SeqIsPrevious(255, 0));
    EXPECT_TRUE(SeqIsPrevious(254, 255));
    EXPECT_FALSE(SeqIsPrevious(0, 0));
    EXPECT_FALSE(SeqIsPrevious(1, 0));
    EXPECT_FALSE(SeqIsPrevious(254, 0));
    EXPECT_FALSE(SeqIsPrevious(0, 255));
}

struct TimeStamp At(int32_t seconds, int32_t micros) { return {seconds, micros}; }

TEST(ElapsedMs, MillisecondsAcrossSecondBoundaries)
{
    EXPECT_EQ(0, ElapsedMs(At(10, 0), At(10, 0)));
    EXPECT_EQ(1, ElapsedMs(At(10, 999000), At(11, 0)));
    EXPECT_EQ(750, ElapsedMs(At(10, 250000), At(11, 0)));
    EXPECT_EQ(751, ElapsedMs(At(10, 0), At(10, 751000)));
    EXPECT_EQ(3001, ElapsedMs(At(10, 999000), At(14, 0)));
}

TEST(ElapsedMs, EachMicrosecondPartTruncatedOnItsOwn)
{
    EXPECT_EQ(751, ElapsedMs(At(10, 1999), At(10, 752999)));
    EXPECT_EQ(750, ElapsedMs(At(10, 1999), At(10, 751998)));
}

TEST(ElapsedMs, ClockSetBackIsNegative)
{
    EXPECT_EQ(-1000, ElapsedMs(At(100, 0), At(99, 0)));
    EXPECT_EQ(-1, ElapsedMs(At(100, 500000), At(100, 499000)));
}

TEST(ElapsedMs, SecondsWrappingAtTheEndOf32Bits)
{
    EXPECT_EQ(200, ElapsedMs(At(INT32_MAX, 900000), At(INT32_MIN, 100000)));
    EXPECT_EQ(1000, ElapsedMs(At(-1, 0), At(0, 0)));
}

TEST(RetryDue, MoreThan750AndAnyNegative)
{
    EXPECT_FALSE(RetryDue(0));
    EXPECT_FALSE(RetryDue(750));
    EXPECT_TRUE(RetryDue(751));
    EXPECT_TRUE(RetryDue(-1));
    EXPECT_TRUE(RetryDue(INT32_MIN));
    EXPECT_TRUE(RetryDue(INT32_MAX));
}

TEST(RetryDue, ClockSetBackOrFarForwardCountsAsOverdue)
{
    EXPECT_TRUE(RetryDue(ElapsedMs(At(100, 0), At(99, 999000))));
    // 30 days forward overflows 31 bits of milliseconds: still overdue, never stalled.
    EXPECT_TRUE(RetryDue(ElapsedMs(At(100, 0), At(100 + 30 * 86400, 0))));
    EXPECT_FALSE(RetryDue(ElapsedMs(At(100, 250000), At(101, 0))));
}

TEST(PeriodLeftMs, CountsDownAndIsRightAcrossTheCounterWrap)
{
    struct Case {
        uint32_t Start, Now, Left;
    } cases[] = {
        {1000, 1000, 100},
        {1000, 1001, 99},
        {1000, 1099, 1},
        {1000, 1100, 0},
        {1000, 5000, 0},
        // GetTickCount wraps to 0 after 49.7 days.
        {0xFFFFFFF0u, 0xFFFFFFFFu, 85},
        {0xFFFFFFF0u, 0x00000010u, 68},
        {0xFFFFFFF0u, 0x00000054u, 0},
        {0xFFFFFFFFu, 0x00000000u, 99},
        {0xFFFFFFFFu, 0x00000063u, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Left, PeriodLeftMs(c.Start, c.Now, 100)) << c.Start << " to " << c.Now;
}

}  // namespace
