// The Modbus CRC-16 bit by bit: a reference apart from the master's table and
// the simulator's, for the frames tests build by hand.
#ifndef TARVO_TEST_CRC16_H
#define TARVO_TEST_CRC16_H

#include <cstdint>
#include <vector>

namespace testcrc {

using Bytes = std::vector<uint8_t>;

inline uint16_t crc16(const Bytes &frame)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : frame) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 1 ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// The frame with its CRC appended, low byte first as on the wire.
inline Bytes withCrc(Bytes frame)
{
    const uint16_t crc = crc16(frame);
    frame.insert(frame.end(), {uint8_t(crc), uint8_t(crc >> 8)});
    return frame;
}

// A whole frame whose last two bytes are its CRC.
inline bool crcValid(const Bytes &frame) { return frame.size() >= 4 && crc16(frame) == 0; }

} // namespace testcrc

#endif
