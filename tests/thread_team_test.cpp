// The thread team on the real system: each member on its own processor,
// sweeping its own buffer.
#include <gtest/gtest.h>

#include "driver/thread_team.h"
#include "kernels/kernel_table.h"
#include "kernels/timing_record.h"
#include "platform/platform.h"

namespace {

constexpr size_t BUFFER_BYTES = 64 * 1024;

TEST(ThreadTeam, MembersRunPinnedOnTheirOwnProcessorsAndBuffers) {
    uint32_t processMask = 0, systemMask = 0;
    ASSERT_TRUE(platformGetAffinityMasks(&processMask, &systemMask));
    if ((processMask & (processMask - 1)) == 0) GTEST_SKIP() << "needs two processors this process may use";
    unsigned char* mainBuffer = static_cast<unsigned char*>(platformAllocateBuffer(BUFFER_BYTES));
    ASSERT_NE(mainBuffer, nullptr);
    ASSERT_TRUE(startThreadTeam(2, true, processMask, mainBuffer, BUFFER_BYTES));
    for (int cell = 0; cell < 4; ++cell) {
        const uint64_t span = runTeamCell(readMov32, 8, 32, 1024);
        EXPECT_GT(static_cast<int64_t>(span), 0);
    }
    EXPECT_EQ(teamMemberBuffer(0), mainBuffer);
    EXPECT_NE(teamMemberBuffer(1), mainBuffer);
    const int first = teamMemberProcessor(0), second = teamMemberProcessor(1);
    if (first < 0) {
        stopThreadTeam();
        GTEST_SKIP() << "this system cannot say which processor a thread runs on";
    }
    // The two lowest processors of the mask, one each.
    int lowest[2], found = 0;
    for (int processor = 0; processor < 32 && found < 2; ++processor) {
        if ((processMask >> processor) & 1u) lowest[found++] = processor;
    }
    EXPECT_EQ(first, lowest[0]);
    EXPECT_EQ(second, lowest[1]);
    stopThreadTeam();
    platformReleaseBuffer(mainBuffer, BUFFER_BYTES);
}

}  // namespace
