#include "platform/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace trakmap {

bool platformHasBitInstructions() {
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & (1u << 23)) == 0) return false;  // popcnt
    if (__get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx) == 0 || (ecx & (1u << 5)) == 0) return false;  // lzcnt
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & (1u << 8)) != 0;  // bmi2
#else
    return false;
#endif
}

}  // namespace trakmap
