// What the fuzz harnesses share: a check that stops the run, and the split of an input into a
// fixed set-up head and the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

inline void Check(bool ok)
{
    if (!ok)
        abort();
}

// Copies the input's first setupSize bytes to setup (zeros where the input is shorter) and
// returns the rest alone in a heap block of its own size (free it), so that the sanitizer sees
// any read past its end; *length is its size.
inline uint8_t* SplitInput(const uint8_t* data, size_t size, uint8_t* setup, size_t setupSize, size_t* length)
{
    memset(setup, 0, setupSize);
    memcpy(setup, data, size < setupSize ? size : setupSize);
    *length = size > setupSize ? size - setupSize : 0;
    uint8_t* rest = static_cast<uint8_t*>(malloc(*length == 0 ? 1 : *length));
    if (*length > 0)
        memcpy(rest, data + setupSize, *length);
    return rest;
}
