// Every multi-byte field on the pipe, on the link and in a capture record is big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

// Folds count bytes, most significant first; bytes beyond four push the oldest out.
inline uint32_t BigEndianValue(const uint8_t* bytes, size_t count)
{
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline void PutU16(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}
