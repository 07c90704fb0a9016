// The Modbus CRC-16 computed bit by bit: an independent reference for the
// master's table method, and the checksum of the frames tests build by hand.
#ifndef TARVO_TEST_CRC16_H
#define TARVO_TEST_CRC16_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testcrc {

using Bytes = std::vector<uint8_t>;

inline uint16_t crc16(const uint8_t *data, std::size_t size)
{
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

// The frame with its CRC appended, low byte first as on the wire.
inline Bytes withCrc(Bytes frame)
{
    const uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(uint8_t(crc & 0xFF));
    frame.push_back(uint8_t(crc >> 8));
    return frame;
}

// A whole frame (CRC included) whose last two bytes are its CRC.
inline bool crcValid(const Bytes &frame)
{
    return frame.size() >= 4 && crc16(frame.data(), frame.size()) == 0;
}

} // namespace testcrc

#endif
