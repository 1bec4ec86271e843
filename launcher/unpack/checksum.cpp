#include "launcher/unpack/checksum.h"

#include <cpuid.h>
#include <immintrin.h>

namespace {

// The reflected polynomial: bit 31 is x^0.
constexpr std::uint32_t polynomial = 0xEDB88320u;

bool can_carryless = false;  // what the processor can
bool use_carryless = false;  // what is used
// tables[0][b]: the CRC of byte b; tables[k][b]: of b followed by k zero
// bytes, so eight bytes take one look-up each.
std::uint32_t tables[8][256];

void make_tables() {
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t c = b;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ polynomial : c >> 1;
        tables[0][b] = c;
    }
    for (std::uint32_t b = 0; b < 256; ++b) {
        for (int k = 1; k < 8; ++k) {
            tables[k][b] = (tables[k - 1][b] >> 8) ^ tables[0][tables[k - 1][b] & 0xFF];
        }
    }
}

// Takes and returns the CRC without its final inversion.
std::uint32_t table_crc(std::uint32_t crc, const unsigned char* p, std::size_t size) {
    for (; size >= 8; p += 8, size -= 8) {
        const std::uint32_t low =
            crc ^ (p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24);
        crc = tables[7][low & 0xFF] ^ tables[6][(low >> 8) & 0xFF] ^ tables[5][(low >> 16) & 0xFF] ^
              tables[4][low >> 24] ^ tables[3][p[4]] ^ tables[2][p[5]] ^ tables[1][p[6]] ^
              tables[0][p[7]];
    }
    for (; size > 0; ++p, --size) crc = (crc >> 8) ^ tables[0][(crc ^ *p) & 0xFF];
    return crc;
}

// a times b modulo the polynomial, both as polynomials in reflected form.
std::uint32_t multiply_modulo(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
        if (a & m) product ^= b;
        b = (b & 1) ? (b >> 1) ^ polynomial : b >> 1;
    }
    return product;
}

// One 128-bit lane folded forward over `into`.
__attribute__((target("pclmul,sse4.1"))) __m128i fold(__m128i lane, __m128i constants,
                                                      __m128i into) {
    const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, low), into);
}

// Folding by carry-less multiplication ("Fast CRC Computation for Generic
// Polynomials Using PCLMULQDQ Instruction", Intel, 2009), for the reflected
// polynomial 0xEDB88320. Takes the CRC without zlib's final inversion and
// returns it so; size is at least 64 and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t fold_crc(const unsigned char* data,
                                                                std::size_t size,
                                                                std::uint32_t crc) {
    alignas(16) static const std::uint64_t fold_by_4[] = {0x0154442bd4, 0x01c6e41596};
    alignas(16) static const std::uint64_t fold_by_1[] = {0x01751997d0, 0x00ccaa009e};
    alignas(16) static const std::uint64_t fold_64[] = {0x0163cd6124, 0x0000000000};
    alignas(16) static const std::uint64_t barrett[] = {0x01db710641, 0x01f7011641};
    const auto load = [](const unsigned char* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    };
    __m128i x1 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(data + 16);
    __m128i x3 = load(data + 32);
    __m128i x4 = load(data + 48);
    data += 64;
    size -= 64;
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(fold_by_4));
    for (; size >= 64; data += 64, size -= 64) {
        x1 = fold(x1, k, load(data));
        x2 = fold(x2, k, load(data + 16));
        x3 = fold(x3, k, load(data + 32));
        x4 = fold(x4, k, load(data + 48));
    }
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(fold_by_1));
    x1 = fold(x1, k, x2);
    x1 = fold(x1, k, x3);
    x1 = fold(x1, k, x4);
    for (; size >= 16; data += 16, size -= 16) x1 = fold(x1, k, load(data));

    // 128 bits to 64, then Barrett reduction to 32.
    const __m128i low_words = _mm_setr_epi32(~0, 0, ~0, 0);
    x2 = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(fold_64));
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, low_words), k, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(barrett));
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, low_words), k, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, low_words), k, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

}  // namespace

bool has_carryless_multiply(std::uint32_t cpuid1_ecx) {
    return (cpuid1_ecx & bit_PCLMUL) != 0 && (cpuid1_ecx & bit_SSE4_1) != 0;
}

void checksum_choose_implementation() {
    make_tables();
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    can_carryless = __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && has_carryless_multiply(ecx);
    use_carryless = can_carryless;
}

void checksum_use_carryless(bool carryless) { use_carryless = carryless && can_carryless; }

std::uint32_t checksum_update(std::uint32_t crc, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    crc = ~crc;
    if (use_carryless && size >= 64) {
        const std::size_t folded = size & ~static_cast<std::size_t>(15);
        crc = fold_crc(bytes, folded, crc);
        bytes += folded;
        size -= folded;
    }
    return ~table_crc(crc, bytes, size);
}

std::uint32_t checksum_combine(std::uint32_t first, std::uint32_t second,
                               std::uint64_t second_length) {
    // first times x^(8 * second_length): square x^8 up bit by bit of the
    // length, multiplying in the powers its set bits name.
    std::uint32_t power = 1u << 31;         // x^0
    std::uint32_t square = 1u << (31 - 8);  // x^8
    for (std::uint64_t n = second_length; n != 0; n >>= 1) {
        if (n & 1) power = multiply_modulo(square, power);
        square = multiply_modulo(square, square);
    }
    return multiply_modulo(power, first) ^ second;
}
