#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nmb::protocol {

// The envelope checksum: CRC-32 with the reflected polynomial 0xEDB88320,
// register started at 1 (not 0xFFFFFFFF) and no final XOR; the raw register
// is the checksum. Written as init/update/final so that the stream decoder's
// running register and the whole-frame check share one update step.

inline constexpr std::uint32_t CRC32_INITIAL = 0x00000001u;
inline constexpr std::uint32_t CRC32_POLYNOMIAL = 0xEDB88320u;

namespace detail {
constexpr std::array<std::uint32_t, 256> make_crc32_table()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t reg = i;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ CRC32_POLYNOMIAL : reg >> 1;
        table[i] = reg;
    }
    return table;
}
inline constexpr std::array<std::uint32_t, 256> CRC32_TABLE = make_crc32_table();
} // namespace detail

// One byte into the register (table form of the bitwise algorithm).
constexpr std::uint32_t crc32_update(std::uint32_t reg, std::uint8_t byte)
{
    return (reg >> 8) ^ detail::CRC32_TABLE[(reg ^ byte) & 0xFFu];
}

constexpr std::uint32_t crc32_update(std::uint32_t reg, const std::uint8_t* data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        reg = crc32_update(reg, data[i]);
    return reg;
}

// No final XOR: the register is the checksum.
constexpr std::uint32_t crc32_final(std::uint32_t reg) { return reg; }

// Checksum of a whole byte range; 1 for an empty range.
inline std::uint32_t frame_crc32(const void* data, std::size_t size)
{
    return crc32_final(crc32_update(CRC32_INITIAL, static_cast<const std::uint8_t*>(data), size));
}

} // namespace nmb::protocol
