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

// The cell the members run next.
struct Cell {
    TransferKernel kernel;
    size_t offset;
    int32_t blockLines;
    int32_t lineCount;
    TeamWork work;  // when set, run in place of the kernel
    void* context;
};

// A wait spins, so that a member starts its cell the moment it is given, and
// now and then offers its processor: each member has a processor of its own,
// where the offer comes straight back, but where threads outnumber the
// processors (no affinity, or a test) the one being waited for gets to run.
constexpr uint32_t SPINS_BEFORE_YIELD = 4096;

void cpuRelax() {
    thread_local uint32_t spins = 0;
    asm volatile("pause");
    if (++spins % SPINS_BEFORE_YIELD == 0) platformYield();
}

// The team: member 0 is the calling thread, the others wait for cells.
//
// The ordering it relies on: member 0 writes `cell`, then moves `generation`
// on with a release; a member that sees the new generation with an acquire
// sees that cell. A member writes its ticks, then counts itself in `finished`
// with a release; member 0, seeing the count with an acquire, sees every
// member's ticks. `started` hands each member's buffer (and any failure to
// get one) to the starting thread the same way, and `stopping` the end.
struct ThreadTeam {
    std::vector<Member> members;
    size_t memberBufferBytes = 0;
    bool memberHugePages = false;
    Cell cell{};
    std::atomic<uint32_t> generation{0};
    std::atomic<int> finished{0};
    std::atomic<int> started{0};
    std::atomic<bool> setupFailed{false};
    std::atomic<bool> stopping{false};

    void runCell(Member& member) const {
        if (cell.work != nullptr) {
            cell.work(static_cast<int>(&member - members.data()), member.buffer, cell.context);
            return;
        }
        cell.kernel(member.buffer + cell.offset, cell.blockLines, cell.lineCount);
        member.startTicks = timingRecord.startTicks;
        member.endTicks = timingRecord.endTicks;
        member.ranOnKnown = platformCurrentProcessor(&member.ranOn);
    }

    // What each member but the first runs on a thread of its own.
    void serve(Member& member) {
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
        if (member.buffer == nullptr) setupFailed.store(true, std::memory_order_relaxed);
        started.fetch_add(1, std::memory_order_release);
        uint32_t seen = 0;
        while (true) {
            uint32_t now;
            while ((now = generation.load(std::memory_order_acquire)) == seen &&
                   !stopping.load(std::memory_order_acquire)) {
                cpuRelax();
            }
            if (stopping.load(std::memory_order_acquire)) break;
            seen = now;
            runCell(member);
            finished.fetch_add(1, std::memory_order_release);
        }
        if (member.buffer != nullptr) platformReleaseBuffer(member.buffer, member.mappedBytes);
    }
};

ThreadTeam team;

void memberThread(void* argument) { team.serve(*static_cast<Member*>(argument)); }

}  // namespace

bool startThreadTeam(int threads, const std::vector<ProcessorId>& processors, unsigned char* mainBuffer,
                     size_t bufferBytes, bool hugePages) {
    team.members.assign(static_cast<size_t>(threads), Member{});
    team.memberBufferBytes = bufferBytes;
    team.memberHugePages = hugePages;
    team.generation.store(0, std::memory_order_relaxed);
    team.started.store(0, std::memory_order_relaxed);
    team.setupFailed.store(false, std::memory_order_relaxed);
    team.stopping.store(false, std::memory_order_relaxed);
    std::vector<Member>& members = team.members;
    for (size_t k = 0; k < members.size() && k < processors.size(); ++k) {
        members[k].pinned = true;
        members[k].processor = processors[k];
    }
    members[0].buffer = mainBuffer;
    if (members[0].pinned) platformPinThread(members[0].processor);

    // Starting a thread orders everything written above before the thread runs.
    int running = 1;
    for (; running < threads; ++running) {
        if (!platformStartThread(memberThread, &members[running], &members[running].thread)) break;
    }
    while (team.started.load(std::memory_order_acquire) < running - 1) cpuRelax();
    if (running < threads || team.setupFailed.load(std::memory_order_relaxed)) {
        members.resize(static_cast<size_t>(running));
        stopThreadTeam();
        return false;
    }
    return true;
}

namespace {

// Hands the cell to every member, runs it as member 0 and waits for the rest.
void runOnEveryMember(const Cell& cell) {
    team.cell = cell;
    team.finished.store(0, std::memory_order_relaxed);
    team.generation.fetch_add(1, std::memory_order_release);
    team.runCell(team.members[0]);
    const int others = static_cast<int>(team.members.size()) - 1;
    while (team.finished.load(std::memory_order_acquire) < others) cpuRelax();
}

}  // namespace

void runTeamWork(TeamWork work, void* context) { runOnEveryMember(Cell{nullptr, 0, 0, 0, work, context}); }

void teamSpinPause() { cpuRelax(); }

int teamSize() { return static_cast<int>(team.members.size()); }

uint64_t runTeamCell(TransferKernel kernel, size_t offset, int32_t blockLines, int32_t lineCount) {
    runOnEveryMember(Cell{kernel, offset, blockLines, lineCount, nullptr, nullptr});

    uint64_t first = team.members[0].startTicks, last = team.members[0].endTicks;
    for (const Member& member : team.members) {
        if (member.startTicks < first) first = member.startTicks;
        if (member.endTicks > last) last = member.endTicks;
    }
    return last - first;
}

double teamHugePageShare() {
    double sum = 0.0;
    for (size_t k = 1; k < team.members.size(); ++k) sum += team.members[k].hugePageShare;
    return team.members.size() > 1 ? sum / static_cast<double>(team.members.size() - 1) : 0.0;
}

bool teamMemberProcessor(int member, ProcessorId* processor) {
    const Member& which = team.members[static_cast<size_t>(member)];
    *processor = which.ranOn;
    return which.ranOnKnown;
}

const unsigned char* teamMemberBuffer(int member) { return team.members[static_cast<size_t>(member)].buffer; }

void stopThreadTeam() {
    team.stopping.store(true, std::memory_order_release);
    for (size_t k = 1; k < team.members.size(); ++k) platformJoinThread(team.members[k].thread);
    team.members.clear();
}
