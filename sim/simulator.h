// A Modbus RTU slave bus of our module family on a pseudo-terminal: the
// counterpart the master, its tests and the demo talk to. It shares no code
// with the master (its own framing, its own bit-by-bit CRC) so that it is an
// independent check of it. POSIX only, no Qt.
//
// Every module has holding registers 1..5 (address, baud code 0..8 for
// 1200..115200 with 56000 as code 6, data bits (8 only), stop code 0/1,
// parity code 0 N / 1 O / 2 E) and 37 (write 1 = restart, reads 0). Written
// settings are stored at once but the module keeps listening at its old ones
// until a restart (no answer) or a power cycle. Then:
//   KT101     100 temperature, 400 offset (signed tenths of a degree)
//   KT104     100..103 temperatures, 200..203 PT100 resistance (hundredths
//             of an ohm), 400..403 offsets
//   Humidity, Voltage, Current: 100, the reading (%RH, mV, uA)
// Readings are read-only and include the offset; they drift slowly along a
// fixed curve, one step per read that covers a reading. setReg() on a
// reading pins it (0xFFFF: no sensor); setExcursion() sends it out of its
// usual range and back, periodically in time.
// Input registers (04) mirror the holding registers. Coils 0..2047 (01, 05,
// 0F) start off; discrete input n (02) mirrors coil n. Anything else is an
// illegal data address; bad quantities and values the module cannot take are
// an illegal data value, and a block write with one of them writes nothing.
//
// Who hears a request: the modules whose current settings match the line
// settings when it completes, then by address (all of them for 0). A pty
// keeps the baud rate, CSTOPB and PARODD the master set but the kernel drops
// PARENB, so parity is told as odd or not odd: a module set to 'E' or 'N'
// hears a line that is not odd, a module set to 'O' needs PARODD. Parity
// still counts for wire time (11 bits a character with a parity bit).
// A broadcast read is answered by each hearing module with its own address
// (two at once collide into a corrupted frame); broadcast writes are applied
// and not answered. A request with a bad CRC, or junk, is dropped together
// with everything up to the next 3.5 characters of silence.
#ifndef TARVO_KTSIM_SIMULATOR_H
#define TARVO_KTSIM_SIMULATOR_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ktsim {

enum class ModuleType { KT101, KT104, Humidity, Voltage, Current };
enum class Fault { None, Silence, BadCrc, Exception, WrongAddress, Truncated, Noise, Late, ByteByByte };

struct ModuleSpec
{
    ModuleType type = ModuleType::KT101;
    int address = 1; // station address (register 1)
    int baud = 9600; // line settings the module listens at
    char parity = 'N'; // 'N', 'O', 'E'
    int stopBits = 1;
};

// Every member but start() and stop() may be called while the bus is served.
class Simulator
{
public:
    Simulator();
    ~Simulator(); // stops serving and closes the pty
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    void addModule(const ModuleSpec &spec); // before or after start()
    // Station 1 KT101, 2 KT104, 3 humidity, 4 voltage, 5 current, all 9600 8N1.
    static std::vector<ModuleSpec> demoBus();

    // Creates the pty and serves it in its own thread; false (errno set) on failure.
    bool start(const std::string &linkPath = {});
    void stop();
    std::string portPath() const; // the slave side a master opens (or linkPath when given)
    // An adapter pulled out: the pty closes under whoever holds it and the
    // link goes. plug() makes a new pty behind the same link (without a link
    // the new port has a path of its own); the modules keep their state.
    void unplug();
    bool plug();

    // By station address, whichever module answers there. Silence: the
    // module hears nothing (writes are not applied either); BadCrc: last CRC
    // byte flipped; Exception: code param (default 4) instead of executing;
    // WrongAddress: a good frame from address % 247 + 1; Truncated: the last
    // three bytes missing; Noise: param (default 3, at most 5) junk bytes
    // first; Late: after param ms (default 1500); ByteByByte: one write per
    // byte, param ms apart (default 10).
    void setFault(int address, Fault fault, int param = 0);
    // Release each answer byte at its character time for the line rate: the
    // request is taken to have occupied the wire from its first byte for its
    // length in characters, then 3.5 characters of silence (1.75 ms above
    // 19200 baud), then byte i is out at i + 1 characters. Off: one write at once.
    void setWireTime(bool on);
    void powerCycle(); // every module applies its pending comm registers

    // By CURRENT station address: any existing register but 37, without the
    // checks a request gets (so a test can store a baud code of 9: a restart
    // then keeps the old rate). False when there is no such module or register.
    bool setReg(int address, int reg, uint16_t value);
    // By CURRENT station address: reading register reg (100..103) gains delta
    // (in its register units; for a KT104 the resistance follows the
    // temperature) at once, loses it along a raised cosine over half of
    // periodMs, regains it over the other half, and so on. Replaces an earlier
    // excursion of that reading. False when there is no such module or reading.
    bool setExcursion(int address, int reg, int delta, int periodMs);
    // Complete request frames seen (by length or ended by the silence), whatever
    // their address, settings or CRC.
    uint64_t framesReceived() const;
    // Requests that got an answer (a collision of several counts once).
    uint64_t framesAnswered() const;
    // The shortest time from the end of an answer to the first byte of the
    // request after it, since the previous call, in microseconds: 0 for a
    // request that came while an answer was still due, -1 when no request
    // followed an answer.
    long long takeShortestGap();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ktsim

#endif
