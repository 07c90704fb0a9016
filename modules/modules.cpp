#include "modules.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kt {

namespace {
template <typename T, std::size_t N>
int indexOf(const std::array<T, N> &table, T value)
{
    for (std::size_t i = 0; i < N; ++i)
        if (table[i] == value)
            return int(i);
    return -1;
}

template <typename T, std::size_t N>
T at(const std::array<T, N> &table, int index, T none)
{
    return index >= 0 && std::size_t(index) < N ? table[std::size_t(index)] : none;
}
} // namespace

int baudForCode(int code) { return at(BaudRates, code, -1); }
int codeForBaud(int baud) { return indexOf(BaudRates, baud); }
char parityForCode(int code) { return at(Parities, code, '\0'); }
int codeForParity(char parity) { return indexOf(Parities, parity); }
int stopBitsForCode(int code) { return at(StopBits, code, -1); }
int codeForStopBits(int bits) { return indexOf(StopBits, bits); }

CommSettings decodeCommSettings(const uint16_t regs[CommRegisterCount])
{
    CommSettings s;
    s.station = regs[RegStation - 1];
    s.baud = at(BaudRates, regs[RegBaudCode - 1], 0);
    s.dataBits = regs[RegDataBits - 1];
    s.stopBits = at(StopBits, regs[RegStopCode - 1], 0);
    s.parity = parityForCode(regs[RegParityCode - 1]);
    return s;
}

double signedTenths(uint16_t r) { return int16_t(r) / 10.0; }

Reading temperatureReading(uint16_t r)
{
    if (r == ErrorValue)
        return {65535, 0, true};
    return {signedTenths(r), 1, false};
}

Reading resistanceReading(uint16_t r)
{
    if (r == ErrorValue)
        return {65535, 0, true};
    return {r / 100.0, 2, false};
}

bool parseRegisterValue(const std::string &text, uint16_t &value)
{
    const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
    const char *digits = text.c_str() + (hex ? 2 : 0);
    // strtol would take blanks, a sign after 0x and a second 0x.
    if (!*digits || !(std::isxdigit(static_cast<unsigned char>(*digits)) || (!hex && *digits == '-')))
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(digits, &end, hex ? 16 : 10);
    if (*end || errno || v < (hex ? 0 : -32768) || v > 65535)
        return false;
    value = uint16_t(v & 0xFFFF);
    return true;
}

uint16_t offsetRegister(double celsius)
{
    return uint16_t(std::lround(celsius * 10) & 0xFFFF);
}

} // namespace kt
