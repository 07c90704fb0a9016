// A Modbus RTU slave bus of our module family on a pseudo-terminal: the
// counterpart the master, its tests and the demo talk to. It shares no code
// with the master (its own framing, its own bit-by-bit CRC) so that it is an
// independent check of it. POSIX only, no Qt.
//
// Line settings: a pty keeps the baud rate, CSTOPB and PARODD the master set,
// but the kernel drops PARENB, so the simulator can tell odd parity from
// "not odd" and nothing more: a module set to 'E' or 'N' hears a line that is
// not odd, a module set to 'O' needs PARODD.
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

    // param: exception code for Exception (default 4), delay in ms for Late.
    void setFault(int address, Fault fault, int param = 0);
    void setWireTime(bool on); // release each byte at its character time for the line rate
    void powerCycle(); // every module applies its pending comm registers

    // By CURRENT station address; 0 when no module has that address.
    uint16_t reg(int address, int reg) const;
    void setReg(int address, int reg, uint16_t value); // e.g. 0xFFFF: a missing sensor
    uint64_t framesReceived() const; // complete request frames seen, whatever their address/settings

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ktsim

#endif
