// Runs a plain loop compiled for AVX2 where the processor has it, else as the baseline build
// compiled it. The loop must be always_inline so that it is vectorised in each copy. The choice
// is made once, at first use, not through an ifunc: sanitizer runtimes crash in ifunc resolvers.
#pragma once

namespace Avx2Dispatch {

template <auto Loop, typename... Args>
[[gnu::target("avx2")]] void runAvx2(Args... args) {
    Loop(args...);
}

template <auto Loop, typename... Args>
void run(Args... args) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) {
        runAvx2<Loop>(args...);
    } else {
        Loop(args...);
    }
}

}  // namespace Avx2Dispatch
