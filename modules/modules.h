// What our sensor modules are: the communication registers and their codes,
// the KT101 and KT104 register maps and how their values are shown. The
// debugging page and tarvoctl both take it from here; the simulator keeps its
// own model of the hardware so that a wrong constant cannot hide in both.
#ifndef TARVO_MODULES_H
#define TARVO_MODULES_H

#include <array>
#include <cstdint>
#include <string>

namespace kt {

// Holding registers 1..5 hold a module's own line settings; they take effect
// after a restart (1 written to register 37) or a power cycle.
enum CommRegister { RegStation = 1, RegBaudCode = 2, RegDataBits = 3, RegStopCode = 4, RegParityCode = 5 };
constexpr int CommRegisterCount = 5;
constexpr int RegRestart = 37;
constexpr uint16_t RestartCommand = 1;

// The station addresses the pages offer for a module.
constexpr int MinStation = 1;
constexpr int MaxStation = 240;

// A baud-rate code is the index of its rate here, a stop-bits code the index
// in {1, 2}, a parity code the index in {N, O, E}: the pages' combos keep the
// same orders.
constexpr std::array<int, 9> BaudRates = {1200, 2400, 4800, 9600, 19200, 38400, 56000, 57600, 115200};
constexpr std::array<char, 3> Parities = {'N', 'O', 'E'};
constexpr std::array<int, 2> StopBits = {1, 2};

int baudForCode(int code);     // -1 for an unknown code
int codeForBaud(int baud);     // -1 for a rate the modules cannot take
char parityForCode(int code);  // '\0' for an unknown code
int codeForParity(char parity); // -1 unless 'N', 'O' or 'E'
int stopBitsForCode(int code); // -1 for an unknown code
int codeForStopBits(int bits); // -1 unless 1 or 2

struct CommSettings
{
    int station = 0;
    int baud = 0;      // 0 when the code is unknown
    int dataBits = 0;
    int stopBits = 0;  // 0 when the code is unknown
    char parity = '\0'; // '\0' when the code is unknown
};
// Registers 1..5 as read in one block, decoded; unknown codes stay 0/'\0'.
CommSettings decodeCommSettings(const uint16_t regs[CommRegisterCount]);

// What the reset writes into registers 1..5: station 1, 9600 baud, 8 data
// bits, 1 stop bit, no parity.
constexpr std::array<uint16_t, CommRegisterCount> FactorySettings = {1, 3, 8, 0, 0};

// KT101: one PT100 channel.
constexpr int Kt101TempReg = 100;
constexpr int Kt101OffsetReg = 400;
constexpr double Kt101OffsetLimit = 12.8;

// KT104: four channels; channel k (1..4) at base + k - 1.
constexpr int Kt104Channels = 4;
constexpr int Kt104TempReg = 100;
constexpr int Kt104ResReg = 200;
constexpr int Kt104OffsetReg = 400;
constexpr double Kt104OffsetLimit = 12.7;

// A temperature or resistance register holding this has no valid value.
constexpr uint16_t ErrorValue = 0xFFFF;

// Temperatures and offsets are signed 16-bit tenths of a degree Celsius.
double signedTenths(uint16_t r);

// A reading as the pages show it: the error value is shown as the bare
// number 65535 without decimals.
struct Reading
{
    double value;
    int decimals;
    bool error;
};
Reading temperatureReading(uint16_t r); // tenths of a degree, 1 decimal
Reading resistanceReading(uint16_t r);  // hundredths of an ohm, 2 decimals

// A register value as typed: decimal -32768 to 65535 (a negative one as its
// 16-bit two's complement) or 0x hexadecimal up to 0xffff. False for
// anything else, blanks and full-width digits included.
bool parseRegisterValue(const std::string &text, uint16_t &value);

// The register value of an offset in degrees: the nearest whole number of
// tenths as a 16-bit two's-complement number (-1.5 -> 65521).
uint16_t offsetRegister(double celsius);

} // namespace kt

#endif
