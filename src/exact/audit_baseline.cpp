// The audit kernels on one binary64 lane, in the baseline instruction set: built everywhere.
#include <cstdint>

#include "audit_lanes.hpp"

namespace exact {
namespace {

struct Scalar {
    static constexpr unsigned width = 1;
    using D = double;
    using M = bool;

    static std::uint64_t bits_of(D v) { return __builtin_bit_cast(std::uint64_t, v); }
    static D from_bits(std::uint64_t b) { return __builtin_bit_cast(double, b); }

    static D set1(double v) { return v; }
    static D widen(const float* p) { return static_cast<double>(*p); }
    static D load(const double* p) { return *p; }
    static void store(double* p, D v) { *p = v; }
    static D round_trip(D v) { return static_cast<double>(static_cast<float>(v)); }
    static D add(D a, D b) { return a + b; }
    static D sub(D a, D b) { return a - b; }
    static D mul(D a, D b) { return a * b; }
    static D abs(D v) { return from_bits(bits_of(v) & 0x7fffffffffffffff); }
    // The vector units' maximum: b when either is NaN.
    static D max(D a, D b) { return a > b ? a : b; }
    static D trunc(D v) { return __builtin_trunc(v); }
    static D and_bits(D v, std::uint64_t m) { return from_bits(bits_of(v) & m); }
    static D or_bits(D a, D b) { return from_bits(bits_of(a) | bits_of(b)); }
    static D xor_bits(D a, D b) { return from_bits(bits_of(a) ^ bits_of(b)); }
    static D int_sub_bits(std::uint64_t k, D v) { return from_bits(k - bits_of(v)); }
    static M same_bits(D a, D b) { return bits_of(a) == bits_of(b); }
    static M no_bits(D v, std::uint64_t m) { return (bits_of(v) & m) == 0; }
    static M eq(D a, D b) { return a == b; }
    static M ne(D a, D b) { return a != b; }
    static M lt(D a, D b) { return a < b; }
    static M le(D a, D b) { return a <= b; }
    static M ge(D a, D b) { return a >= b; }
    static M gt(D a, D b) { return a > b; }
    static M either(M a, M b) { return a | b; }
    static M both(M a, M b) { return a & b; }
    static M but_not(M a, M b) { return a & !b; }
    static D select(M m, D yes, D no) { return m ? yes : no; }
    static D zero_where(M m, D v) { return m ? 0.0 : v; }
    static unsigned bits(M m) { return m ? 1u : 0u; }
};

}  // namespace

const AuditKernels kernels::audit_baseline = lanes::audit_kernels<Scalar>();

}  // namespace exact
