// The thread team on the processor list taskset gives the process: run by
// tests/taskset_team.py only, which sets the list and says what it is.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "driver/thread_team.h"
#include "kernels/kernel_table.h"
#include "platform/platform.h"

namespace {

constexpr size_t BUFFER_BYTES = 64 * 1024;

// Run by tests/taskset_team.py under `taskset -c LIST`, with the list in
// KESTRUNE_EXPECTED_PROCESSORS: the platform must give exactly those
// processors, and a team of all of them must run member k on the k-th.
TEST(TasksetTeam, TheListSetByTasksetIsTheTeams) {
    const char* expected = std::getenv("KESTRUNE_EXPECTED_PROCESSORS");
    ASSERT_NE(expected, nullptr) << "run by tests/taskset_team.py, which sets the processor list";
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
