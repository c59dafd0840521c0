#include "kernels/chase_chains.h"

const ChainKernelRow CHAIN_KERNELS[] = {
#define CHAIN_KERNEL_ROW(chains) {chains, chaseChains##chains},
    PARALLEL_CHAINS(CHAIN_KERNEL_ROW)
#undef CHAIN_KERNEL_ROW
};

const int CHAIN_KERNEL_COUNT = sizeof(CHAIN_KERNELS) / sizeof(CHAIN_KERNELS[0]);
