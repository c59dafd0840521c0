#include "driver/thread_team.h"

#include <atomic>
#include <vector>

#include "kernels/timing_record.h"
#include "platform/platform.h"

namespace {

struct Member {
    int processor = -1;  // pinned to, or -1 unpinned
    unsigned char* buffer = nullptr;
    size_t mappedBytes = 0;
    double hugePageShare = 0.0;
    PlatformThread thread = 0;
    uint64_t startTicks = 0;
    uint64_t endTicks = 0;
    int ranOn = -1;
};

// The cell the members run next; written by member 0 before it moves
// `generation` on, read by the others after they see it move.
struct Cell {
    TransferKernel kernel;
    size_t offset;
    int32_t blockLines;
    int32_t lineCount;
};

std::vector<Member> members;
size_t memberBufferBytes = 0;
bool memberHugePages = false;
Cell cell;
std::atomic<uint32_t> generation{0};
std::atomic<int> finished{0};
std::atomic<int> started{0};
std::atomic<bool> setupFailed{false};
std::atomic<bool> stopping{false};

void pause() { asm volatile("pause"); }

int lowestProcessors(uint32_t mask, int rank) {
    for (int processor = 0; processor < 32; ++processor) {
        if ((mask >> processor) & 1u) {
            if (rank-- == 0) return processor;
        }
    }
    return -1;
}

void runMemberCell(Member& member) {
    cell.kernel(member.buffer + cell.offset, cell.blockLines, cell.lineCount);
    member.startTicks = timingRecord.startTicks;
    member.endTicks = timingRecord.endTicks;
    member.ranOn = platformCurrentProcessor();
}

void memberThread(void* argument) {
    Member& member = *static_cast<Member*>(argument);
    if (member.processor >= 0) platformPinThread(member.processor);
    if (memberHugePages) {
        HugePageOutcome outcome;
        member.buffer = static_cast<unsigned char*>(platformAllocateHugePageBuffer(memberBufferBytes, &outcome));
        member.mappedBytes = outcome.mappedBytes;
        member.hugePageShare = outcome.share;
    } else {
        member.buffer = static_cast<unsigned char*>(platformAllocateBuffer(memberBufferBytes));
        member.mappedBytes = memberBufferBytes;
    }
    if (member.buffer == nullptr) setupFailed = true;
    started.fetch_add(1);
    uint32_t seen = 0;
    while (true) {
        while (generation.load() == seen && !stopping.load()) pause();
        if (stopping.load()) break;
        seen = generation.load();
        runMemberCell(member);
        finished.fetch_add(1);
    }
    if (member.buffer != nullptr) platformReleaseBuffer(member.buffer, member.mappedBytes);
}

}  // namespace

bool startThreadTeam(int threads, bool pin, uint32_t processMask, unsigned char* mainBuffer, size_t bufferBytes,
                     bool hugePages) {
    members.assign(static_cast<size_t>(threads), Member{});
    memberBufferBytes = bufferBytes;
    memberHugePages = hugePages;
    generation = 0;
    started = 0;
    setupFailed = false;
    stopping = false;
    for (int k = 0; k < threads; ++k) members[k].processor = pin ? lowestProcessors(processMask, k) : -1;
    members[0].buffer = mainBuffer;
    if (members[0].processor >= 0) platformPinThread(members[0].processor);

    int running = 1;
    for (; running < threads; ++running) {
        if (!platformStartThread(memberThread, &members[running], &members[running].thread)) break;
    }
    while (started.load() < running - 1) pause();
    if (running < threads || setupFailed.load()) {
        members.resize(static_cast<size_t>(running));
        stopThreadTeam();
        return false;
    }
    return true;
}

uint64_t runTeamCell(TransferKernel kernel, size_t offset, int32_t blockLines, int32_t lineCount) {
    cell = Cell{kernel, offset, blockLines, lineCount};
    finished = 0;
    generation.fetch_add(1);
    runMemberCell(members[0]);
    const int others = static_cast<int>(members.size()) - 1;
    while (finished.load() < others) pause();

    uint64_t first = members[0].startTicks, last = members[0].endTicks;
    for (const Member& member : members) {
        if (member.startTicks < first) first = member.startTicks;
        if (member.endTicks > last) last = member.endTicks;
    }
    return last - first;
}

double teamHugePageShare() {
    double sum = 0.0;
    for (size_t k = 1; k < members.size(); ++k) sum += members[k].hugePageShare;
    return members.size() > 1 ? sum / static_cast<double>(members.size() - 1) : 0.0;
}

int teamMemberProcessor(int member) { return members[static_cast<size_t>(member)].ranOn; }

const unsigned char* teamMemberBuffer(int member) { return members[static_cast<size_t>(member)].buffer; }

void stopThreadTeam() {
    stopping = true;
    for (size_t k = 1; k < members.size(); ++k) platformJoinThread(members[k].thread);
    members.clear();
}
