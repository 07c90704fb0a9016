// Runs the bus cases against the simulator, in process, on a fresh pty laid
// out as the top of bustests.cpp describes, plus what only a pty shows:
// exclusive open, settings put back on close, the line settings the modules
// listen at, a device that vanishes. For those the bus also has
//   --module kt101:20:9600:O:1 --module kt101:21:9600:N:2 --module kt101:22:19200:N:1
//   --module kt101:23:14400:N:1 --module kt101:24:9600:E:1 --module kt101:25:56000:N:1
// and a second bus with wire time shows what the master does on the wire.
#include "minitest.h"
#include "rig.h"
#include "serialline.h"
#include "simulator.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>
#include <termios.h>

namespace {

using ktsim::Fault;
using ktsim::ModuleType;
std::string port;
int probe = -1; // our own descriptor on the port, to read its settings
ktsim::Simulator *wired; // 9600 and 115200 baud 8N1, each byte held for its character time

const termios &settings() { static termios t; return tcgetattr(probe, &t), t; }

} // namespace

const char *busPort() { return port.c_str(); }

TEST_CASE(ptyIsExclusiveAndGetsItsSettingsBack)
{
    const termios before = settings();
    Context first = openBus(port, 22, 150, 19200, 'N', 2);
    REQUIRE(first);
    CHECK(!openBus(port, 1, 150) && errno == EBUSY);
    CHECK(cfgetospeed(&settings()) == B19200 && (settings().c_cflag & CSTOPB) && !(settings().c_lflag & (ICANON | ECHO)));
    first.reset();
    CHECK(cfgetospeed(&settings()) == cfgetospeed(&before) && settings().c_cflag == before.c_cflag && settings().c_lflag == before.c_lflag);
    CHECK(openBus(port, 1, 150)); // free again once closed
}

// 14400 and 56000 have no B constant; 12345 is no rate the master knows,
// so it opens at 9600. A pty drops the parity bit: odd stays
// visible as PARODD, even looks like none. Opening with parity must keep
// working however often it is done (the kernel refuses PARENB from the
// second time on).
TEST_CASE(ptyModulesHearTheLineSettingsTheMasterSets)
{
    const struct { int baud; char parity; int stop, slave, hears; } rows[] = {
        {9600, 'N', 2, 21, 21}, {19200, 'N', 1, 22, 22}, {14400, 'N', 1, 23, 23}, {56000, 'N', 1, 25, 25},
        {12345, 'N', 1, 1, 1}, {9600, 'E', 1, 24, 24}, {9600, 'O', 1, 20, 20}, {9600, 'E', 1, 24, 24},
        {9600, 'O', 1, 20, 20}, {9600, 'N', 1, 20, -1}, {9600, 'O', 1, 1, -1}};
    for (const auto &r : rows) {
        Context ctx = openBus(port, r.slave, 150, r.baud, r.parity, r.stop);
        CHECK_EQ(ctx ? stationOf(ctx.get(), r.slave) : -1, r.hears); // -1: it does not hear the line as opened
    }
}

// Back to back, each request still waits for 3.5 characters of silence after
// the answer before it (1.75 ms above 19200 baud): a module would otherwise
// take both frames for one. The response timeout counts from when a request
// has left: 1968 coils take 266 ms on the wire at 9600 baud.
TEST_CASE(ptyWireTimeIsKept)
{
    const struct { int baud, slave; long long silenceUs; } rows[] = {{9600, 1, 3645}, {115200, 2, 1750}};
    for (const auto &r : rows) {
        Context ctx = openBus(wired->portPath(), r.slave, 200, r.baud);
        REQUIRE(ctx);
        wired->takeShortestGap();
        uint16_t v = 0;
        for (int i = 0; i < 10; ++i)
            CHECK_EQ(modbus_read_registers(ctx.get(), 100, 1, &v), 1);
        CHECK_EQ(wired->takeShortestGap() >= r.silenceUs, true);
        const std::vector<uint8_t> coils(MODBUS_MAX_WRITE_BITS, 1);
        CHECK(r.baud > 9600 || modbus_write_bits(ctx.get(), 0, MODBUS_MAX_WRITE_BITS, coils.data()) == MODBUS_MAX_WRITE_BITS);
    }
}

// Reads of a pty whose master has gone give end of file; only a write gets
// EIO, which must read as a vanished device too.
TEST_CASE(ptyWriteAfterTheMasterClosedIsAVanishedDevice)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    REQUIRE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    std::unique_ptr<SerialLine> line = createPlatformSerialLine();
    REQUIRE(line->open(ptsname(master)) == 0);
    ::close(master);
    const uint8_t byte = 0x01;
    CHECK(line->write(&byte, 1) == -1 && errno == ECONNRESET);
}

int main()
{
    ktsim::Simulator sim, wireTimed;
    for (const ktsim::ModuleSpec &m : ktsim::Simulator::demoBus())
        sim.addModule(m);
    const struct { Fault fault; int param; } faults[] = {{Fault::Silence, 0}, {Fault::BadCrc, 0}, {Fault::Exception, 6},
        {Fault::WrongAddress, 0}, {Fault::Truncated, 0}, {Fault::Late, 300}, {Fault::ByteByByte, 5}};
    for (int i = 0; i < 7; ++i) // stations 10..16, one fault each
        sim.addModule({ModuleType::KT101, 10 + i}), sim.setFault(10 + i, faults[i].fault, faults[i].param);
    const struct { int baud; char parity; int stop; } lines[] = {{9600, 'O', 1},  {9600, 'N', 2}, {19200, 'N', 1},
                                                                  {14400, 'N', 1}, {9600, 'E', 1}, {56000, 'N', 1}};
    for (int i = 0; i < 6; ++i) // stations 20..25
        sim.addModule({ModuleType::KT101, 20 + i, lines[i].baud, lines[i].parity, lines[i].stop});
    wireTimed.addModule({ModuleType::KT101, 1, 9600, 'N', 1});
    wireTimed.addModule({ModuleType::KT101, 2, 115200, 'N', 1});
    wireTimed.setWireTime(true);
    wired = &wireTimed;
    if (!sim.start() || !wireTimed.start() || (probe = ::open(sim.portPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) < 0)
        return std::perror("simulator"), 1;
    port = sim.portPath();
    return minitest::runAll();
}
