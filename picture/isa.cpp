#include "picture/isa.h"

#include <algorithm>
#include <cstdlib>
#include <strings.h>

namespace orvandel {

namespace {

constexpr Isa ALL[] = {Isa::scalar, Isa::sse2, Isa::ssse3, Isa::avx2, Isa::avx512};

Isa detect() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("ssse3")) return Isa::sse2;
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) return Isa::ssse3;
    if (!__builtin_cpu_supports("avx512f")) return Isa::avx2;
    return Isa::avx512;
#else
    return Isa::scalar;
#endif
}

}  // namespace

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::scalar: return "scalar";
        case Isa::sse2: return "sse2";
        case Isa::ssse3: return "ssse3";
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
    }
    return "scalar";
}

Isa processor_isa() {
    static const Isa best = detect();
    return best;
}

Isa runnable_isa(Isa wanted) { return std::min(wanted, processor_isa()); }

IsaChoice choose_isa(const char* variable, Isa processor) {
    IsaChoice choice;
    choice.isa = processor;
    if (!variable || !*variable) return choice;
    choice.value = variable;
    const Isa* named = std::find_if(std::begin(ALL), std::end(ALL),
                                    [variable](Isa isa) { return strcasecmp(variable, isa_name(isa)) == 0; });
    if (named == std::end(ALL)) {
        choice.note = IsaChoice::Note::unknown;
        return choice;
    }
    choice.asked = *named;
    choice.isa = std::min(*named, processor);
    if (choice.isa != *named) choice.note = IsaChoice::Note::lacking;
    return choice;
}

const IsaChoice& isa_choice() {
    static const IsaChoice choice = choose_isa(std::getenv("ORVANDEL_ISA"), processor_isa());
    return choice;
}

}  // namespace orvandel
