#include "Encoding/Cpu.h"

#if TAMBERLO_X86
#include <cpuid.h>
#endif

namespace tamberlo {
#if TAMBERLO_X86
namespace {

// Asked of the CPU once, on first use. Not through the compiler's CPU-feature builtin:
// that runs a full survey of the CPU at program start, and each question to the CPU is a trip
// to the hypervisor on a virtual machine, which a host started for one message pays in full.
bool detectAvx2() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  if (!(ecx & bit_OSXSAVE) || !(ecx & bit_AVX)) return false;
  // The system must save the full vector registers on a task switch (XCR0 bits 1 and 2).
  unsigned xcr0Low, xcr0High;
  __asm__("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
  if ((xcr0Low & 6) != 6) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & bit_AVX2) != 0;
}

// AVX-512 with byte permutes (VBMI), and a system that saves the mask and upper vector
// registers (XCR0 bits 5 to 7) besides those AVX needs.
bool detectAvx512() {
  if (!cpuHasAvx2()) return false;
  unsigned xcr0Low, xcr0High;
  __asm__("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
  if ((xcr0Low & 0xE6) != 0xE6) return false;
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & bit_AVX512F) && (ebx & bit_AVX512BW) && (ecx & bit_AVX512VBMI);
}

}  // namespace

bool cpuHasAvx2() {
  static const bool has = detectAvx2();
  return has;
}

bool cpuHasAvx512() {
  static const bool has = detectAvx512();
  return has;
}

#else

bool cpuHasAvx2() { return false; }
bool cpuHasAvx512() { return false; }

#endif

}  // namespace tamberlo
