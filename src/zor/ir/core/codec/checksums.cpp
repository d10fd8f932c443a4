#include "core/codec/checksums.hpp"

#include <algorithm>

namespace zor::hdf5 {

namespace {

// Both checksums run two sums over units u_0, u_1, ...: s1 adds each unit,
// s2 adds s1 after each. Over a block of n units they grow by
// sum(u_i) and n * s1 + sum((n - i) * u_i). The block is taken in rows of
// `Lanes` units, in lanes that compilers vectorise: lane j sums unit j of
// the rows (sum) and those sums after each row (running); then the unit at
// i = Lanes * row + j, which adds (n - i) * u to s2, is counted in
// Lanes * running - j * sum.
struct Sums {
    std::uint64_t s1, s2;
};

template <std::size_t Lanes, std::uint64_t Modulus, typename Unit>
void add_rows(Sums &sums, const std::uint8_t *&data, std::size_t rows, Unit unit) {
    constexpr std::size_t kUnitBytes = sizeof(decltype(unit(data)));
    // 32-bit lanes: `running` reaches the largest unit times rows * (rows + 1) / 2.
    constexpr std::size_t kRowsPerBlock = kUnitBytes == 1 ? 4096 : 256;
    constexpr std::size_t kRowBytes = Lanes * kUnitBytes;
    while (rows > 0) {
        const std::size_t block = std::min(rows, kRowsPerBlock);
        std::uint32_t sum[Lanes] = {}, running[Lanes] = {};
        for (std::size_t row = 0; row < block; ++row, data += kRowBytes)
            for (std::size_t j = 0; j < Lanes; ++j) {
                sum[j] += unit(data + j * kUnitBytes);
                running[j] += sum[j];
            }
        std::uint64_t plain = 0, weighted = 0;
        for (std::size_t j = 0; j < Lanes; ++j) {
            plain += sum[j];
            weighted += Lanes * std::uint64_t(running[j]) - j * std::uint64_t(sum[j]);
        }
        sums.s2 = (sums.s2 + block * Lanes * sums.s1 + weighted) % Modulus;
        sums.s1 = (sums.s1 + plain) % Modulus;
        rows -= block;
    }
}

constexpr auto byte_at = [](const std::uint8_t *at) { return *at; };
constexpr auto big_endian_word = [](const std::uint8_t *at) { return std::uint16_t(at[0] << 8 | at[1]); };

}  // namespace

std::uint32_t adler32(const std::uint8_t *data, std::size_t length) {
    constexpr std::uint64_t kModulus = 65521;
    Sums sums{1, 0};
    add_rows<32, kModulus>(sums, data, length / 32, byte_at);
    for (std::size_t i = length / 32 * 32; i < length; ++i) {
        sums.s1 += *data++;
        sums.s2 += sums.s1;
    }
    return std::uint32_t(sums.s2 % kModulus << 16 | sums.s1 % kModulus);
}

// Over big-endian 16-bit words (an odd last byte is the high byte of a
// word), both sums modulo 65535. HDF5 folds carries instead of reducing, so
// a non-zero multiple of 65535 comes out as 65535, not 0; s2 goes in the
// high half.
std::uint32_t fletcher32(const std::uint8_t *data, std::size_t length) {
    constexpr std::uint64_t kModulus = 65535;
    const bool nonzero = std::any_of(data, data + length, [](std::uint8_t byte) { return byte != 0; });
    Sums sums{0, 0};
    add_rows<16, kModulus>(sums, data, length / 32, big_endian_word);
    for (std::size_t i = length / 32 * 32; i + 2 <= length; i += 2, data += 2) {
        sums.s1 += big_endian_word(data);
        sums.s2 += sums.s1;
    }
    if (length % 2) {
        sums.s1 += std::uint32_t(*data) << 8;
        sums.s2 += sums.s1;
    }
    auto folded = [nonzero](std::uint64_t sum) {
        sum %= kModulus;
        return std::uint32_t(sum == 0 && nonzero ? kModulus : sum);
    };
    return folded(sums.s2) << 16 | folded(sums.s1);
}

}  // namespace zor::hdf5
