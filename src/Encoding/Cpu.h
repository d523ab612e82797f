// What the processor can run, asked once. The hot loops choose their vector paths by these at run
// time: one build serves every x86-64 machine.
#pragma once

// 1 where the x86 vector paths are compiled in; elsewhere only the scalar paths exist and the
// cpuHas...() questions answer false.
#if defined(__x86_64__) || defined(__i386__)
#define TAMBERLO_X86 1
#else
#define TAMBERLO_X86 0
#endif

namespace tamberlo {

// AVX2, with a system that saves the full vector registers on a task switch.
bool cpuHasAvx2();

// AVX-512 with byte permutes (F, BW and VBMI), with a system that saves its registers too.
bool cpuHasAvx512();

}  // namespace tamberlo
