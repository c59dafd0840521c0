#pragma once
// Runs every cell on several processors at once: one thread pinned to each,
// each sweeping a buffer of its own that it allocated and touched first (so
// that on a machine with several memory nodes the buffer is local).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/kernels.h"
#include "platform/platform.h"

// Starts the team: the calling thread is member 0 and sweeps `mainBuffer`;
// members 1 to threads - 1 are new threads. Member k is pinned to the k-th of
// `processors`; with fewer processors than threads (none where the system has
// no affinity) the rest run unpinned. False when a thread or a buffer could
// not be had; nothing is left running then. With `hugePages`, each member asks
// for its buffer on 2 MiB pages, as the main buffer was.
bool startThreadTeam(int threads, const std::vector<ProcessorId>& processors, unsigned char* mainBuffer,
                     size_t bufferBytes, bool hugePages = false);

// The share of the members' own buffers (member 0's excluded) on 2 MiB pages.
double teamHugePageShare();

// Every member runs the kernel on its own buffer at `offset`, all starting
// together; the result is the span from the first member's opening stamp to
// the last member's closing stamp.
uint64_t runTeamCell(TransferKernel kernel, size_t offset, int32_t blockLines, int32_t lineCount);

// Work other than a kernel: every member calls `work` with its number (0 for
// the calling thread) and its own buffer, all starting together; returns once
// every member has returned. The members may each do something else (the
// loaded-latency table's chaser and loaders).
using TeamWork = void (*)(int member, unsigned char* buffer, void* context);
void runTeamWork(TeamWork work, void* context);

// One turn of a member's spinning wait: a pause, and now and then the
// processor offered to another thread.
void teamSpinPause();

// The members of the running team, the calling thread included.
int teamSize();

// The processor each member ran its last cell on (false: the system cannot
// say), and the buffer it swept.
bool teamMemberProcessor(int member, ProcessorId* processor);
const unsigned char* teamMemberBuffer(int member);

// Ends the member threads and releases their buffers.
void stopThreadTeam();
