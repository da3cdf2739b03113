// Four 32-bit words read from a chip in its boot ROM; identifies a module
// that has no running firmware.
#pragma once

#include <cstdint>

struct Fingerprint {
    uint32_t word[4] = {0, 0, 0, 0};
};
