// What the processor offers beyond the compiler's baseline, for the few hot
// loops that pick a faster variant at run time.
#pragma once

#include <cstdint>

namespace trakmap {

// The width of the processor's general registers, in bits: loops that step
// through words pick words of this width (a 32-bit processor emulates wider
// ones with several instructions each).
inline constexpr unsigned kRegisterBits = sizeof(std::uintptr_t) * 8;

// Marks a function that may use the leading-zero count, bit-manipulation and
// population-count instructions; call it only when platformHasBitInstructions().
#if defined(__x86_64__) || defined(__i386__)
#define TRAKMAP_BIT_INSTRUCTIONS [[gnu::target("lzcnt,bmi2,popcnt")]]
#else
#define TRAKMAP_BIT_INSTRUCTIONS
#endif

// True when the processor has those instructions (LZCNT, BMI2, POPCNT).
bool platformHasBitInstructions();

}  // namespace trakmap
