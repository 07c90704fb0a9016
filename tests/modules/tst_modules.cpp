// The module rules as the pages and tarvoctl show and send them, and the
// reset sweep against the simulator.
#include "minitest.h"
#include "modbus.h"
#include "modules.h"
#include "resetsweep.h"
#include "simulator.h"

#include <cmath>
#include <vector>

using namespace kt;

namespace {

bool near(double a, double b) { return std::fabs(a - b) < 1e-9; }

// Registers 1..5 of the module at `station`, listening at 9600 8N1.
std::vector<int> commRegisters(const std::string &port, int station)
{
    modbus_t *ctx = modbus_new_rtu(port.c_str(), 9600, 'N', 8, 1);
    std::vector<int> out;
    uint16_t regs[CommRegisterCount] = {};
    if (ctx && modbus_connect(ctx) == 0 && modbus_set_slave(ctx, station) == 0
        && modbus_read_registers(ctx, RegStation, CommRegisterCount, regs) == CommRegisterCount)
        out.assign(regs, regs + CommRegisterCount);
    modbus_close(ctx);
    modbus_free(ctx);
    return out;
}

struct SweepRun
{
    ResetResult result;
    std::vector<int> attempts;
};

SweepRun sweep(const std::string &port, int cancelAt = -1)
{
    SweepRun run;
    run.result = resetModule(port.c_str(), 100, [&](int i) {
        run.attempts.push_back(i);
        return i != cancelAt;
    });
    return run;
}

} // namespace

TEST_CASE(displayRules)
{
    // Signed tenths and hundredths of an ohm; 65534 is still a reading, 65535 the error value.
    const struct { uint16_t r; double temp; int tempDecimals; double res; int resDecimals; } rows[] = {
        {250, 25.0, 1, 2.5, 2}, {65436, -10.0, 1, 654.36, 2}, {65534, -0.2, 1, 655.34, 2}, {65535, 65535, 0, 65535, 0}};
    for (const auto &row : rows) {
        const Reading t = temperatureReading(row.r), r = resistanceReading(row.r);
        CHECK(near(t.value, row.temp) && t.decimals == row.tempDecimals && t.error == (row.r == ErrorValue));
        CHECK(near(r.value, row.res) && r.decimals == row.resDecimals && r.error == (row.r == ErrorValue));
    }
    // Offsets have no error value.
    CHECK(near(signedTenths(65535), -0.1) && near(signedTenths(32768), -3276.8));
    // To the nearest tenth, halves away from zero.
    const struct { double celsius; int reg; } offsets[] = {{0.3, 3}, {-0.3, 65533}, {-12.8, 65408}, {-0.05, 65535}};
    for (const auto &row : offsets)
        CHECK_EQ(int(offsetRegister(row.celsius)), row.reg);
}

TEST_CASE(communicationCodes)
{
    CHECK(baudForCode(6) == 56000 && baudForCode(9) == -1 && baudForCode(-1) == -1);
    CHECK(codeForBaud(115200) == 8 && codeForBaud(14400) == -1);
    CHECK(parityForCode(2) == 'E' && codeForParity('O') == 1 && codeForParity('S') == -1);
    CHECK(stopBitsForCode(1) == 2 && codeForStopBits(3) == -1);

    // Every field from its own register; unknown codes stay unknown.
    const uint16_t set[] = {7, 4, 8, 1, 2}, unknown[] = {1, 9, 8, 2, 3};
    const CommSettings s = decodeCommSettings(set), u = decodeCommSettings(unknown);
    CHECK(s.station == 7 && s.baud == 19200 && s.dataBits == 8 && s.stopBits == 2 && s.parity == 'E');
    CHECK(u.baud == 0 && u.stopBits == 0 && u.parity == '\0');

    const struct { int i; int baud; char parity; } sweep[] = {{6, 56000, 'N'}, {9, 1200, 'O'}, {17, 115200, 'O'}};
    for (const auto &row : sweep)
        CHECK(sweepAttempt(row.i).baud == row.baud && sweepAttempt(row.i).parity == row.parity);
}

TEST_CASE(resetFindsAndWritesFactorySettings)
{
    // Found on the fifth attempt without parity, and on the sixth of the odd half.
    const struct { int baud; char parity; int attempt; } rows[] = {{19200, 'N', 4}, {38400, 'O', 14}};
    for (const auto &row : rows) {
        ktsim::Simulator sim;
        sim.addModule({ktsim::ModuleType::KT104, 7, row.baud, row.parity, 1});
        REQUIRE(sim.start());
        const SweepRun run = sweep(sim.portPath());
        CHECK(run.result.outcome == ResetOutcome::Done && run.result.baud == row.baud);
        CHECK_EQ(run.result.attempt, row.attempt);
        CHECK_EQ(int(run.attempts.size()), row.attempt + 1);
        // The probes, then the factory settings with the parity found and with
        // even, which the simulator cannot tell from none.
        CHECK_EQ(sim.framesReceived(), uint64_t(row.attempt + 1 + 2));
        // The module takes them at its next power-up; the port is free again,
        // so nothing was left open.
        sim.powerCycle();
        CHECK(commRegisters(sim.portPath(), 1) == std::vector<int>({1, 3, 8, 0, 0}));
    }
}

TEST_CASE(resetEndings)
{
    ktsim::Simulator empty;
    REQUIRE(empty.start());
    const SweepRun none = sweep(empty.portPath());
    CHECK(none.result.outcome == ResetOutcome::NotFound && int(none.attempts.size()) == SweepAttempts);

    const SweepRun cancelled = sweep(empty.portPath(), 2);
    CHECK(cancelled.result.outcome == ResetOutcome::Cancelled && cancelled.attempts.size() == 3);

    const SweepRun missing = sweep("/dev/tarvo-no-such-port");
    CHECK(missing.result.outcome == ResetOutcome::PortError && missing.result.attempt == 0);
}

MINITEST_MAIN
