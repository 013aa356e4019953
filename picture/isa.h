// The instruction sets the vector paths are built for, in rising order, and
// the one in use: the best the processor has, or the one the environment
// variable ORVANDEL_ISA names where the processor has it. Every path gives
// exactly the bytes of the plain one, so the choice changes only the speed;
// the variable is there to show that, and to measure one path against another.
// Every dispatch asks here; the level is fixed once per process.
#ifndef ORVANDEL_PICTURE_ISA_H
#define ORVANDEL_PICTURE_ISA_H

#include <string>

namespace orvandel {

// Each level includes those below it. avx2 also needs FMA; avx512 is
// AVX-512F on top of avx2.
enum class Isa { scalar, sse2, ssse3, avx2, avx512 };

const char* isa_name(Isa isa);
// The best level this processor runs (scalar off x86-64).
Isa processor_isa();

struct IsaChoice {
    Isa isa = Isa::scalar;    // the level in use
    Isa asked = Isa::scalar;  // the level the variable names (when it names one)
    enum class Note { none, lacking, unknown } note = Note::none;
    std::string value;        // the variable as given
};
// The level for a variable (null or empty: unset) on a processor whose best
// is `processor`: the level named, or the best below it the processor has, or
// for a name not known, `processor`.
IsaChoice choose_isa(const char* variable, Isa processor);
// The same for this process, from ORVANDEL_ISA, worked out on first use.
const IsaChoice& isa_choice();
inline Isa active_isa() { return isa_choice().isa; }
// What a kernel asked to run at `wanted` runs at: never above the processor.
Isa runnable_isa(Isa wanted);

}  // namespace orvandel

#endif
