// The thread team on the real system: each member on its own processor,
// sweeping its own buffer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
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

// Run by tests/taskset_team.py under `taskset -c LIST`, with the list in
// KESTRUNE_EXPECTED_PROCESSORS: the platform must give exactly those
// processors, and a team of all of them must run member k on the k-th.
TEST(ThreadTeam, TheListSetByTasksetIsTheTeams) {
    const char* expected = std::getenv("KESTRUNE_EXPECTED_PROCESSORS");
    if (expected == nullptr) GTEST_SKIP() << "run by taskset_team.py, which sets the processor list";
    std::vector<ProcessorId> listed;
    std::istringstream numbers(expected);
    for (std::string number; std::getline(numbers, number, ',');) listed.push_back({0, std::stoi(number)});
    const std::vector<ProcessorId> processors = platformUsableProcessors();
    ASSERT_EQ(processors.size(), listed.size());
    for (size_t k = 0; k < listed.size(); ++k) EXPECT_TRUE(processors[k] == listed[k]) << k;

    unsigned char* mainBuffer = static_cast<unsigned char*>(platformAllocateBuffer(BUFFER_BYTES));
    ASSERT_NE(mainBuffer, nullptr);
    const int members = static_cast<int>(processors.size());
    ASSERT_TRUE(startThreadTeam(members, processors, mainBuffer, BUFFER_BYTES));
    runTeamCell(readMov32, 8, 32, 1024);
    for (int member = 0; member < members; ++member) {
        ProcessorId ran{};
        ASSERT_TRUE(teamMemberProcessor(member, &ran));
        EXPECT_TRUE(ran == processors[static_cast<size_t>(member)])
            << "member " << member << " ran on " << ran.number;
    }
    stopThreadTeam();
    platformReleaseBuffer(mainBuffer, BUFFER_BYTES);
}

}  // namespace
