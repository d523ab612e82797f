// What the processor can run, asked once. The vector paths of the hot loops are chosen by these
// at run time, so that one build serves every x86-64 machine.
#pragma once

namespace tamberlo {

// AVX2, with a system that saves the full vector registers on a task switch.
bool cpuHasAvx2();

// AVX-512 with byte permutes (F, BW and VBMI), with a system that saves its registers too.
bool cpuHasAvx512();

}  // namespace tamberlo
