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
// CRC32_TABLES[0] is the classic byte table; table k advances a byte that
// sits k bytes further back, so eight bytes fold in with eight independent
// look-ups (slicing by eight) instead of a chain of eight.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_crc32_tables()
{
    std::array<std::array<std::uint32_t, 256>, 8> tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t reg = i;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ CRC32_POLYNOMIAL : reg >> 1;
        tables[0][i] = reg;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t i = 0; i < 256; ++i)
            tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFFu];
    }
    return tables;
}
inline constexpr std::array<std::array<std::uint32_t, 256>, 8> CRC32_TABLES = make_crc32_tables();

constexpr std::uint32_t load_u32_le(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16)
        | (std::uint32_t(p[3]) << 24);
}
} // namespace detail

// One byte into the register (table form of the bitwise algorithm).
constexpr std::uint32_t crc32_update(std::uint32_t reg, std::uint8_t byte)
{
    return (reg >> 8) ^ detail::CRC32_TABLES[0][(reg ^ byte) & 0xFFu];
}

// A run of bytes into the register; the same result as feeding them one
// by one, several times faster on long runs.
constexpr std::uint32_t crc32_update(std::uint32_t reg, const std::uint8_t* data, std::size_t size)
{
    const auto& t = detail::CRC32_TABLES;
    for (; size >= 8; data += 8, size -= 8) {
        const std::uint32_t lo = detail::load_u32_le(data) ^ reg;
        const std::uint32_t hi = detail::load_u32_le(data + 4);
        reg = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^ t[4][lo >> 24]
            ^ t[3][hi & 0xFFu] ^ t[2][(hi >> 8) & 0xFFu] ^ t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
    }
    for (; size > 0; ++data, --size)
        reg = crc32_update(reg, *data);
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
