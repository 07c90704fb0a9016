// Bit packing of coil and discrete-input bodies: eight to a byte, first bit
// in the lowest bit of the first byte.
#include "modbus-private.h"

int modbus_pack_bits(uint8_t *dest, const uint8_t *bits, int nb)
{
    int n = 0;
    for (int i = 0; i < nb; i += 8, ++n) {
        uint8_t byte = 0;
        for (int bit = 0; bit < 8 && i + bit < nb; ++bit)
            if (bits[i + bit])
                byte |= uint8_t(1u << bit);
        dest[n] = byte;
    }
    return n;
}

void modbus_unpack_bits(uint8_t *dest, const uint8_t *packed, int nb)
{
    for (int i = 0; i < nb; ++i)
        dest[i] = (packed[i / 8] >> (i % 8)) & 1;
}
