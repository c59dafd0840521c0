// Capability detection and the guarded instruction behind the OS probe.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "probe/guarded_routine.h"
#include "probe/os_sse_probe.h"
#include "probe/simd_capabilities.h"

#include <cstdlib>
#include <iostream>

#if defined(_WIN32)
#include <windows.h>

#include "platform/return_from_leaf.h"
#else
#include <signal.h>
#endif

DEFINE_GUARDED_ROUTINE(executeUd2, "ud2")
DEFINE_GUARDED_ROUTINE(executeXorps, "xorps %xmm0, %xmm0")
// HLT outside the kernel is a privileged instruction: a fault, but not an
// illegal instruction.
DEFINE_GUARDED_ROUTINE(executeHlt, "hlt")
// So is a division by zero. EAX, ECX and EDX are the caller's to lose.
DEFINE_GUARDED_ROUTINE(executeDivideByZero, "xor %eax, %eax\n\txor %edx, %edx\n\txor %ecx, %ecx\n\tdiv %ecx")

namespace {

TEST(CapabilityMaskFromCpuid, EachFlagFollowsItsOwnBit) {
    const struct {
        uint32_t edx, ecx;
        CapabilityMask mask;
    } cases[] = {
        {0x06800000, 0x00000001, 0x39},  // all four
        {0x00000000, 0x00000000, 0x00},
        {0xF97FFFFF, 0xFFFFFFFE, 0x00},  // every other bit set
        {0x00800000, 0x00000000, 0x01},
        {0x02000000, 0x00000000, 0x08},
        {0x02800000, 0x00000001, 0x29},  // SSE3 without SSE2
        {0x04000000, 0x00000000, 0x10},  // SSE2 without SSE
        {0x00000000, 0x00000001, 0x20},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(capabilityMaskFromCpuid(c.edx, c.ecx), c.mask) << std::hex << c.edx << " " << c.ecx;
    }
}

// qemu-user leaves the trap number out of the signal context, so Wine run by
// it cannot tell a protection fault from an invalid opcode and reports HLT's
// fault as an illegal instruction. cmake/wine-run says when it runs Wine so.
bool protectionFaultsAreTold() { return std::getenv("KESTRUNE_WINE_UNDER_QEMU") == nullptr; }

// Leaf 1 ECX: SSE4.1 bit 19, OSXSAVE bit 27, AVX bit 28; leaf 7 EBX: AVX512F
// bit 16. The OS's part is XCR0, as XGETBV would give it: here a fake value.
TEST(ExtendedSupportFromCpuid, ProcessorFlagsAndTheStateTheOsSaves) {
    constexpr uint32_t SSE41 = 1u << 19, OSXSAVE = 1u << 27, AVX = 1u << 28, AVX512F = 1u << 16;
    const struct {
        uint32_t leaf1Ecx, leaf7Ebx;
        uint64_t xcr0;
        CapabilityMask processor, enabled;
    } cases[] = {
        {0, 0, 0, 0, 0},
        {SSE41, 0, 0, CAP_SSE41, CAP_SSE41},
        {SSE41 | OSXSAVE | AVX, AVX512F, 0xE7, CAP_SSE41 | CAP_AVX | CAP_AVX512F, CAP_SSE41 | CAP_AVX | CAP_AVX512F},
        // The processor has AVX; the OS does not save the YMM state.
        {OSXSAVE | AVX, 0, 0x03, CAP_AVX, 0},
        // Without OSXSAVE, XCR0 tells nothing, whatever it holds.
        {AVX, AVX512F, 0xE7, CAP_AVX | CAP_AVX512F, 0},
        // YMM saved, ZMM not: AVX runs, AVX-512 does not.
        {OSXSAVE | AVX, AVX512F, 0x07, CAP_AVX | CAP_AVX512F, CAP_AVX},
        // Each AVX-512 state bit is needed: opmask missing.
        {OSXSAVE | AVX, AVX512F, 0xC7, CAP_AVX | CAP_AVX512F, CAP_AVX},
        // OSXSAVE set without AVX: nothing wider to run.
        {SSE41 | OSXSAVE, 0, 0x07, CAP_SSE41, CAP_SSE41},
    };
    for (const auto& c : cases) {
        const ExtendedSupport support = extendedSupportFromCpuid(c.leaf1Ecx, c.leaf7Ebx, c.xcr0);
        EXPECT_EQ(support.processor, c.processor) << std::hex << c.leaf1Ecx << " " << c.leaf7Ebx << " " << c.xcr0;
        EXPECT_EQ(support.enabled, c.enabled) << std::hex << c.leaf1Ecx << " " << c.leaf7Ebx << " " << c.xcr0;
    }
}

TEST(GuardedInstruction, TellsIllegalInstructionFromOtherFaults) {
    EXPECT_EQ(platformRunGuarded(executeUd2), GuardOutcome::ILLEGAL_INSTRUCTION);
    EXPECT_EQ(platformRunGuarded(executeXorps), GuardOutcome::COMPLETED);
    EXPECT_EQ(platformRunGuarded(executeDivideByZero), GuardOutcome::OTHER_FAULT);
    if (protectionFaultsAreTold()) {
        EXPECT_EQ(platformRunGuarded(executeHlt), GuardOutcome::OTHER_FAULT);
    }
    // Twice in a row: the guard leaves nothing behind that changes the next run.
    EXPECT_EQ(platformRunGuarded(executeUd2), GuardOutcome::ILLEGAL_INSTRUCTION);
}

TEST(OsSseProbe, ReportsSupportOnThisSystem) {
    if (!(detectSimdCapabilities() & CAP_SSE)) GTEST_SKIP() << "no SSE on this processor";
    EXPECT_TRUE(probeOsSseSupport());
}

#if defined(_WIN32)
volatile DWORD exceptionSeen;

// Resumes at the return address, as the guard does.
LONG CALLBACK recordAndReturn(EXCEPTION_POINTERS* exception) {
    exceptionSeen = exception->ExceptionRecord->ExceptionCode;
    returnFromLeaf(*exception->ContextRecord);
    return EXCEPTION_CONTINUE_EXECUTION;
}

// A handler the guard left registered would take the next fault before one
// added at the end of the list, which would then never see it.
TEST(GuardedInstruction, LeavesNoExceptionHandlerBehind) {
    platformRunGuarded(executeUd2);
    platformRunGuarded(executeDivideByZero);
    platformRunGuarded(executeXorps);
    exceptionSeen = 0;
    PVOID mine = AddVectoredExceptionHandler(0, recordAndReturn);
    executeUd2();
    RemoveVectoredExceptionHandler(mine);
    EXPECT_EQ(exceptionSeen, static_cast<DWORD>(STATUS_ILLEGAL_INSTRUCTION));
}
#else
TEST(GuardedInstruction, RestoresThePreviousSignalDispositions) {
    struct sigaction mine {};
    mine.sa_handler = SIG_IGN;
    sigemptyset(&mine.sa_mask);
    struct sigaction saved[2];
    sigaction(SIGILL, &mine, &saved[0]);
    sigaction(SIGSEGV, nullptr, &saved[1]);

    platformRunGuarded(executeUd2);
    platformRunGuarded(executeHlt);

    struct sigaction after {};
    sigaction(SIGILL, nullptr, &after);
    EXPECT_EQ(after.sa_handler, SIG_IGN);
    sigaction(SIGSEGV, nullptr, &after);
    EXPECT_EQ(after.sa_handler, saved[1].sa_handler);
    sigaction(SIGILL, &saved[0], nullptr);
}
#endif

}  // namespace

namespace {

// The real system's answer to a request for 2 MiB pages, whatever it is: a
// buffer of at least the size asked for, zero-filled, readable and writable
// to its last byte, with a share between none and all, and a reason exactly
// when the share is none. Sizes below, at and above one huge page.
TEST(HugePageBuffer, IsAUsableBufferWithAShareOrAReason) {
    for (size_t bytes : {size_t{4096}, HUGE_PAGE_BYTES, HUGE_PAGE_BYTES * 2 + 4096}) {
        HugePageOutcome outcome;
        auto* buffer = static_cast<unsigned char*>(platformAllocateHugePageBuffer(bytes, &outcome));
        ASSERT_NE(buffer, nullptr) << bytes;
        EXPECT_GE(outcome.mappedBytes, bytes);
        EXPECT_GE(outcome.share, 0.0);
        EXPECT_LE(outcome.share, 1.0);
        EXPECT_EQ(outcome.refusal.empty(), outcome.share > 0.0) << outcome.refusal;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % 4096, 0u);
        for (size_t at : {size_t{0}, bytes / 2, bytes - 1}) {
            EXPECT_EQ(buffer[at], 0) << bytes << " at " << at;
            buffer[at] = 0x5A;
        }
        std::cout << "[  INFO    ] " << bytes << " bytes: share " << outcome.share << " " << outcome.refusal
                  << std::endl;
        platformReleaseBuffer(buffer, outcome.mappedBytes);
    }
}

}  // namespace
