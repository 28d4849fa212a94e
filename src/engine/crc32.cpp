#include "engine/crc32.h"

#include <zlib.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define NPX4_CLMUL_CRC32 1
#endif

namespace {

#ifdef NPX4_CLMUL_CRC32

constexpr qsizetype FoldBytes = 64;

inline __m128i load(const uchar *at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
}

// `x` times the constants in `k`, each half of `x` by its own, plus `next`.
inline __attribute__((always_inline, target("pclmul,sse4.1"))) __m128i fold(__m128i x, __m128i k,
                                                                            __m128i next)
{
    return _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// Folds `size` bytes (a multiple of 16, at least 64) into the CRC register `crc` (not inverted)
// four 16-byte lanes at a time with carry-less multiplication, then reduces the 128-bit remainder
// to 32 bits by Barrett reduction: the method of Gopal et al., "Fast CRC Computation for Generic
// Polynomials Using PCLMULQDQ Instruction" (Intel, 2009), with the constants of the reflected
// polynomial 0xEDB88320 given there.
__attribute__((target("pclmul,sse4.1"))) quint32 foldCrc32(quint32 crc, const uchar *data,
                                                           qsizetype size)
{
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(int(crc)));
    __m128i x2 = load(data + 16);
    __m128i x3 = load(data + 32);
    __m128i x4 = load(data + 48);
    for (data += FoldBytes, size -= FoldBytes; size >= FoldBytes;
         data += FoldBytes, size -= FoldBytes) {
        x1 = fold(x1, k1k2, load(data));
        x2 = fold(x2, k1k2, load(data + 16));
        x3 = fold(x3, k1k2, load(data + 32));
        x4 = fold(x4, k1k2, load(data + 48));
    }
    x1 = fold(fold(fold(x1, k3k4, x2), k3k4, x3), k3k4, x4);
    for (; size >= 16; data += 16, size -= 16)
        x1 = fold(x1, k3k4, load(data));

    // 128 bits to 64, then to 32 by Barrett reduction.
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4),
                       _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00));
    const __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    const __m128i product = _mm_clmulepi64_si128(_mm_and_si128(quotient, low32), poly, 0x00);
    return quint32(_mm_extract_epi32(_mm_xor_si128(x1, product), 1));
}

bool hasCarryLessMultiply()
{
    static const bool supported =
        __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return supported;
}

#endif

} // namespace

quint32 updateCrc32(quint32 crc, QByteArrayView data)
{
    const auto *bytes = reinterpret_cast<const uchar *>(data.data());
    qsizetype size = data.size();
#ifdef NPX4_CLMUL_CRC32
    if (size >= FoldBytes && hasCarryLessMultiply()) {
        const qsizetype folded = size & ~qsizetype(15);
        crc = ~foldCrc32(~crc, bytes, folded);
        bytes += folded;
        size -= folded;
    }
#endif
    return quint32(::crc32_z(crc, bytes, z_size_t(size)));
}
