#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "isa/capability_mask.h"
#include "kernels/kernels.h"

// The directions: each as the records and the table titles name it, and the
// bytes the memory system carries per byte a kernel moves (a copy reads and
// writes each byte it copies). tools/write_tables_json.cpp hands this list
// to the report tool.
#define DIRECTION_LIST(ROW) \
    ROW(READ, "read", 1)    \
    ROW(WRITE, "write", 1)  \
    ROW(COPY, "copy", 2)    \
    ROW(FILL, "fill", 1)

// The registers a kernel moves data through, with the bytes of one access:
// STR8 and STR32 are the string instructions' elements, LIB the C library's
// call, counted a byte at a time.
#define REGISTER_LIST(ROW) \
    ROW(GP32, 4)           \
    ROW(GP16, 2)           \
    ROW(MMX, 8)            \
    ROW(XMM, 16)           \
    ROW(YMM, 32)           \
    ROW(ZMM, 64)           \
    ROW(STR8, 1)           \
    ROW(STR32, 4)          \
    ROW(LIB, 1)

enum class Direction {
#define DIRECTION_KIND(kind, name, busBytes) kind,
    DIRECTION_LIST(DIRECTION_KIND)
#undef DIRECTION_KIND
};

enum class RegisterKind {
#define REGISTER_KIND(kind, bytes) kind,
    REGISTER_LIST(REGISTER_KIND)
#undef REGISTER_KIND
};

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

// The bytes one access of the kernel moves.
constexpr int accessBytes(RegisterKind registers) {
    switch (registers) {
#define REGISTER_BYTES(kind, bytes) \
    case RegisterKind::kind: return bytes;
        REGISTER_LIST(REGISTER_BYTES)
#undef REGISTER_BYTES
    }
    return 0;
}

// The direction as the records and the table titles name it.
constexpr const char* directionName(Direction direction) {
    switch (direction) {
#define DIRECTION_NAME(kind, name, busBytes) \
    case Direction::kind: return name;
        DIRECTION_LIST(DIRECTION_NAME)
#undef DIRECTION_NAME
    }
    return "";
}

constexpr int busBytesPerByte(Direction direction) {
    switch (direction) {
#define DIRECTION_BUS_BYTES(kind, name, busBytes) \
    case Direction::kind: return busBytes;
        DIRECTION_LIST(DIRECTION_BUS_BYTES)
#undef DIRECTION_BUS_BYTES
    }
    return 0;
}
