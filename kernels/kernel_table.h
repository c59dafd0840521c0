#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "isa/capability_mask.h"
#include "kernels/kernels.h"

enum class Direction { READ, WRITE, COPY, FILL };
// STR8 and STR32: the string instructions' elements; LIB: the C library's call.
enum class RegisterKind { GP32, GP16, MMX, XMM, YMM, ZMM, STR8, STR32, LIB };

struct KernelSpec {
    const char* function;
    const char* column;
    Direction direction;
    CapabilityMask capability;  // 0: every processor runs it
    bool alignedOnly;           // needs the aligned base of the first pass
    const char* instruction;
    RegisterKind registers;
    TransferKernel run;
};

extern const KernelSpec KERNEL_TABLE[];
extern const size_t KERNEL_COUNT;

// Each flag is tested by itself: a mask with SSE3 but not SSE2 still runs LDDQU.
// `aligned16` is the first pass, whose base starts on a page.
inline bool columnShown(const KernelSpec& kernel, CapabilityMask mask, bool aligned16) {
    return (mask & kernel.capability) == kernel.capability && (aligned16 || !kernel.alignedOnly);
}

// The kernels of one table, left to right: the one list that the header, the
// cells and the warm-up of every row use.
std::vector<const KernelSpec*> tableColumns(Direction direction, CapabilityMask mask, bool aligned16);

// The bytes one access of the kernel moves (one element of a string
// instruction; a byte for the library's calls).
int accessBytes(RegisterKind registers);

// The direction as the records and the table titles name it: "read",
// "write", "copy" or "fill".
const char* directionName(Direction direction);

// The bytes the memory system carries per byte a kernel moves: a copy reads
// and writes each byte it copies.
int busBytesPerByte(Direction direction);
