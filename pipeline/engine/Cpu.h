#pragma once
// What the processor offers beyond the x86-64 baseline, asked once per process. The wide kernels
// are compiled for these extensions function by function and picked at run time.

namespace ostrela::engine::cpu {

inline bool hasAvx() {
    static const bool has = __builtin_cpu_supports("avx");
    return has;
}
inline bool hasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
inline bool hasAvx2Fma() {
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return has;
}
inline bool hasAvx512() {
    static const bool has = __builtin_cpu_supports("avx512f");
    return has;
}

}  // namespace ostrela::engine::cpu
