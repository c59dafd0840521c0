// The fallback reference, used only where likwid-bench cannot run: a plain
// loop over the block with the same instruction as the column it checks,
// timed with clock_gettime rather than the time-stamp counter, with no
// serialising instruction and an SFENCE after non-temporal stores.
//
// Usage: reference_loop CPU KERNEL BLOCK_BYTES TOTAL_BYTES
//   KERNEL is named after likwid-bench's: load, load_sse, load_avx,
//   load_avx512, store, store_sse, store_avx, store_avx512, store_mem,
//   store_mem_sse, store_mem_avx, store_mem_avx512. Prints GiB/s. The caller
//   asks for the wider kernels only where the processor runs them.
#include <sys/mman.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pin_to_cpu.h"

namespace {

using LineAccess = void (*)(unsigned char*);

// One 64-byte line per call; the compiler inlines these into the plain loop.
inline void loadMovq(unsigned char* p) {
    asm volatile(".irp n,0,1,2,3,4,5,6,7\n\tmovq \\n*8(%0), %%mm\\n\n\t.endr" : : "r"(p)
                 : "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "mm7");
}
inline void loadMovaps(unsigned char* p) {
    asm volatile(".irp n,0,1,2,3\n\tmovaps \\n*16(%0), %%xmm\\n\n\t.endr" : : "r"(p) : "xmm0", "xmm1", "xmm2", "xmm3");
}
inline void storeMovq(unsigned char* p) {
    asm volatile(".irp n,0,1,2,3,4,5,6,7\n\tmovq %%mm0, \\n*8(%0)\n\t.endr" : : "r"(p) : "memory");
}
inline void storeMovaps(unsigned char* p) {
    asm volatile(".irp n,0,1,2,3\n\tmovaps %%xmm0, \\n*16(%0)\n\t.endr" : : "r"(p) : "memory");
}
inline void storeMovntdq(unsigned char* p) {
    asm volatile(".irp n,0,1,2,3\n\tmovntdq %%xmm0, \\n*16(%0)\n\t.endr" : : "r"(p) : "memory");
}
inline void storeMovntps(unsigned char* p) {
    asm volatile(".irp n,0,1,2,3\n\tmovntps %%xmm0, \\n*16(%0)\n\t.endr" : : "r"(p) : "memory");
}

// The wider accesses are spelled in the assembly text alone, so that the loop
// needs no compiler target; VZEROUPPER after the run keeps the SSE code after it
// free of transition penalties.
inline void loadVmovapsYmm(unsigned char* p) {
    asm volatile("vmovaps (%0), %%ymm0\n\tvmovaps 32(%0), %%ymm1" : : "r"(p) : "xmm0", "xmm1");
}
inline void loadVmovapsZmm(unsigned char* p) { asm volatile("vmovaps (%0), %%zmm0" : : "r"(p) : "xmm0"); }
inline void storeVmovapsYmm(unsigned char* p) {
    asm volatile("vmovaps %%ymm0, (%0)\n\tvmovaps %%ymm0, 32(%0)" : : "r"(p) : "memory");
}
inline void storeVmovapsZmm(unsigned char* p) { asm volatile("vmovaps %%zmm0, (%0)" : : "r"(p) : "memory"); }
inline void storeVmovntpdYmm(unsigned char* p) {
    asm volatile("vmovntpd %%ymm0, (%0)\n\tvmovntpd %%ymm0, 32(%0)" : : "r"(p) : "memory");
}
inline void storeVmovntpdZmm(unsigned char* p) { asm volatile("vmovntpd %%zmm0, (%0)" : : "r"(p) : "memory"); }

template <void (*ACCESS)(unsigned char*)>
void sweep(unsigned char* block, size_t blockBytes, size_t sweeps) {
    for (size_t s = 0; s < sweeps; ++s) {
        // Two lines per turn. Only the accesses are fixed instructions; the
        // loop around them is the compiler's, which is why this loop stands
        // in only where likwid-bench cannot run.
        for (size_t offset = 0; offset < blockBytes; offset += 128) {
            ACCESS(block + offset);
            ACCESS(block + offset + 64);
        }
    }
}

struct Kernel {
    const char* name;  // likwid-bench's
    void (*run)(unsigned char*, size_t, size_t);
    bool nonTemporal;  // an SFENCE closes the timed span
};

const Kernel KERNELS[] = {
    {"load", sweep<loadMovq>, false},
    {"load_sse", sweep<loadMovaps>, false},
    {"load_avx", sweep<loadVmovapsYmm>, false},
    {"load_avx512", sweep<loadVmovapsZmm>, false},
    {"store", sweep<storeMovq>, false},
    {"store_sse", sweep<storeMovaps>, false},
    {"store_avx", sweep<storeVmovapsYmm>, false},
    {"store_avx512", sweep<storeVmovapsZmm>, false},
    {"store_mem", sweep<storeMovntdq>, true},
    {"store_mem_sse", sweep<storeMovntps>, true},
    {"store_mem_avx", sweep<storeVmovntpdYmm>, true},
    {"store_mem_avx512", sweep<storeVmovntpdZmm>, true},
};

double seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s CPU KERNEL BLOCK_BYTES TOTAL_BYTES\n", argv[0]);
        return 2;
    }
    pinToCpuFromArguments(argc, argv);
    const std::string kernel = argv[2];
    const size_t blockBytes = std::strtoull(argv[3], nullptr, 10);
    const size_t sweeps = std::strtoull(argv[4], nullptr, 10) / blockBytes;

    void (*run)(unsigned char*, size_t, size_t) = nullptr;
    bool nonTemporal = false;
    for (const Kernel& entry : KERNELS) {
        if (kernel == entry.name) run = entry.run, nonTemporal = entry.nonTemporal;
    }
    const bool wide = kernel.find("avx") != std::string::npos;
    if (run == nullptr || blockBytes % 128 != 0 || sweeps == 0) {
        std::fprintf(stderr, "unknown kernel or size\n");
        return 2;
    }

    auto* block = static_cast<unsigned char*>(
        mmap(nullptr, blockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0));
    if (block == MAP_FAILED) return 1;
    // Nonzero data, as likwid-bench's: some processors write zero lines faster.
    std::memset(block, 0x5a, blockBytes);
    asm volatile("movdqu (%0), %%xmm0\n\tmovq (%0), %%mm0" : : "r"(block) : "xmm0", "mm0");
    if (kernel.find("avx512") != std::string::npos) {
        asm volatile("vmovdqu64 (%0), %%zmm0" : : "r"(block) : "xmm0");
    } else if (wide) {
        asm volatile("vmovdqu (%0), %%ymm0" : : "r"(block) : "xmm0");
    }

    run(block, blockBytes, 1);  // warm-up sweep: caches and TLB as a steady state
    const double start = seconds();
    run(block, blockBytes, sweeps);
    if (nonTemporal) asm volatile("sfence" : : : "memory");
    const double elapsed = seconds() - start;
    asm volatile("emms");
    if (wide) asm volatile("vzeroupper");
    std::printf("%.4f\n", static_cast<double>(blockBytes * sweeps) / elapsed / 1073741824.0);
    return 0;
}
