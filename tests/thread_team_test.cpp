// The thread team on the real system: each member on its own processor,
// sweeping its own buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/thread_team.h"
#include "kernels/kernel_table.h"
#include "kernels/timing_record.h"
#include "platform/platform.h"

namespace {

constexpr size_t BUFFER_BYTES = 64 * 1024;

TEST(ThreadTeam, MembersRunPinnedOnTheirOwnProcessorsAndBuffers) {
    const std::vector<ProcessorId> processors = platformUsableProcessors();
    ASSERT_FALSE(processors.empty());
    if (processors.size() < 2) GTEST_SKIP() << "needs two processors this process may use";
    unsigned char* mainBuffer = static_cast<unsigned char*>(platformAllocateBuffer(BUFFER_BYTES));
    ASSERT_NE(mainBuffer, nullptr);
    ASSERT_TRUE(startThreadTeam(2, processors, mainBuffer, BUFFER_BYTES));
    for (int cell = 0; cell < 4; ++cell) {
        const uint64_t span = runTeamCell(readMov32, 8, 32, 1024);
        EXPECT_GT(static_cast<int64_t>(span), 0);
    }
    EXPECT_EQ(teamMemberBuffer(0), mainBuffer);
    EXPECT_NE(teamMemberBuffer(1), mainBuffer);
    ProcessorId first{}, second{};
    if (!teamMemberProcessor(0, &first) || !teamMemberProcessor(1, &second)) {
        stopThreadTeam();
        GTEST_SKIP() << "this system cannot say which processor a thread runs on";
    }
    // The first two processors of the list, one each.
    EXPECT_EQ(first, processors[0]);
    EXPECT_EQ(second, processors[1]);
    stopThreadTeam();
    platformReleaseBuffer(mainBuffer, BUFFER_BYTES);
}

}  // namespace
