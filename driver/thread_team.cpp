#include "driver/thread_team.h"

#include <atomic>
#include <vector>

#include "kernels/timing_record.h"
#include "platform/platform.h"

namespace {

struct Member {
    bool pinned = false;
    ProcessorId processor{0, 0};  // when pinned
    unsigned char* buffer = nullptr;
    size_t mappedBytes = 0;
    double hugePageShare = 0.0;
    PlatformThread thread = 0;
    uint64_t startTicks = 0;
    uint64_t endTicks = 0;
    bool ranOnKnown = false;
    ProcessorId ranOn{0, 0};
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

// A wait spins, so that a member starts its cell the moment it is given, and
// now and then offers its processor: each member has a processor of its own,
// where the offer comes straight back, but where threads outnumber the
// processors (no affinity, or a test) the one being waited for gets to run.
constexpr uint32_t SPINS_BEFORE_YIELD = 4096;

void pause() {
    thread_local uint32_t spins = 0;
    asm volatile("pause");
    if (++spins % SPINS_BEFORE_YIELD == 0) platformYield();
}

void runMemberCell(Member& member) {
    cell.kernel(member.buffer + cell.offset, cell.blockLines, cell.lineCount);
    member.startTicks = timingRecord.startTicks;
    member.endTicks = timingRecord.endTicks;
    member.ranOnKnown = platformCurrentProcessor(&member.ranOn);
}

void memberThread(void* argument) {
    Member& member = *static_cast<Member*>(argument);
    if (member.pinned) platformPinThread(member.processor);
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

bool startThreadTeam(int threads, const std::vector<ProcessorId>& processors, unsigned char* mainBuffer,
                     size_t bufferBytes, bool hugePages) {
    members.assign(static_cast<size_t>(threads), Member{});
    memberBufferBytes = bufferBytes;
    memberHugePages = hugePages;
    generation = 0;
    started = 0;
    setupFailed = false;
    stopping = false;
    for (size_t k = 0; k < members.size() && k < processors.size(); ++k) {
        members[k].pinned = true;
        members[k].processor = processors[k];
    }
    members[0].buffer = mainBuffer;
    if (members[0].pinned) platformPinThread(members[0].processor);

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

bool teamMemberProcessor(int member, ProcessorId* processor) {
    const Member& which = members[static_cast<size_t>(member)];
    *processor = which.ranOn;
    return which.ranOnKnown;
}

const unsigned char* teamMemberBuffer(int member) { return members[static_cast<size_t>(member)].buffer; }

void stopThreadTeam() {
    stopping = true;
    for (size_t k = 1; k < members.size(); ++k) platformJoinThread(members[k].thread);
    members.clear();
}
