#pragma once
// Memory with an inaccessible page on each side, so that a kernel that strays
// past its block faults instead of passing unnoticed.
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

struct GuardedRegion {
    unsigned char* data;  // first usable byte, page-aligned
    size_t bytes;         // usable bytes, a whole number of pages
    unsigned char* mapping;
    size_t mappingBytes;
};

inline size_t pageBytes() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

inline GuardedRegion makeGuardedRegion(size_t usableBytes) {
    const size_t page = pageBytes();
    const size_t bytes = (usableBytes + page - 1) / page * page;
    const size_t total = bytes + 2 * page;
#if defined(_WIN32)
    auto* mapping = static_cast<unsigned char*>(VirtualAlloc(nullptr, total, MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(mapping, page, PAGE_NOACCESS, &old);
    VirtualProtect(mapping + page + bytes, page, PAGE_NOACCESS, &old);
#else
    auto* mapping = static_cast<unsigned char*>(
        mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(mapping, page, PROT_NONE);
    mprotect(mapping + page + bytes, page, PROT_NONE);
#endif
    return {mapping + page, bytes, mapping, total};
}

inline void releaseGuardedRegion(const GuardedRegion& region) {
#if defined(_WIN32)
    VirtualFree(region.mapping, 0, MEM_RELEASE);
#else
    munmap(region.mapping, region.mappingBytes);
#endif
}
