// The module rules as the pages and tarvoctl show and send them, and the
// reset sweep against the simulator.
#include "minitest.h"
#include "modbus.h"
#include "modules.h"
#include "resetsweep.h"
#include "simulator.h"

#include <cmath>
#include <thread>
#include <vector>

using namespace kt;

namespace {

bool near(double a, double b) { return std::fabs(a - b) < 1e-9; }

// The attempts asked about, the sweep cancelled at `cancelAt`.
ResetResult sweep(const std::string &port, std::vector<int> &attempts, int cancelAt = -1)
{
    return resetModule(port.c_str(), 100, [&](int i) {
        attempts.push_back(i);
        return i != cancelAt;
    });
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
    CHECK(baudForCode(9) == -1 && baudForCode(-1) == -1 && codeForParity('S') == -1 && codeForStopBits(3) == -1);

    // Every field from its own register; unknown codes stay unknown.
    const uint16_t set[] = {7, 4, 8, 1, 2}, unknown[] = {1, 9, 8, 2, 3};
    const CommSettings s = decodeCommSettings(set), u = decodeCommSettings(unknown);
    CHECK(s.station == 7 && s.baud == 19200 && s.dataBits == 8 && s.stopBits == 2 && s.parity == 'E');
    CHECK(u.baud == 0 && u.stopBits == 0 && u.parity == '\0');

    const struct { int i; int baud; char parity; } sweep[] = {{6, 56000, 'N'}, {9, 1200, 'O'}, {17, 115200, 'O'}};
    for (const auto &row : sweep)
        CHECK(sweepAttempt(row.i).baud == row.baud && sweepAttempt(row.i).parity == row.parity);
}

TEST_CASE(resetSweep)
{
    // Found on the fifth attempt without parity, and on the sixth of the odd half.
    const struct { int baud; char parity; int attempt; } rows[] = {{19200, 'N', 4}, {38400, 'O', 14}};
    for (const auto &row : rows) {
        ktsim::Simulator sim;
        sim.addModule({ktsim::ModuleType::KT104, 7, row.baud, row.parity, 1});
        REQUIRE(sim.start());
        std::vector<int> attempts;
        const ResetResult r = sweep(sim.portPath(), attempts);
        CHECK(r.outcome == ResetOutcome::Done && r.baud == row.baud && r.attempt == row.attempt);
        CHECK_EQ(int(attempts.size()), row.attempt + 1);
        // The probes, then the factory settings with the parity found and with
        // even, which the simulator cannot tell from none.
        // The last write gets no answer, so the simulator may still be reading it.
        const uint64_t frames = row.attempt + 1 + 2;
        for (int i = 0; i < 200 && sim.framesReceived() < frames; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        CHECK_EQ(sim.framesReceived(), frames);
        // The module takes them at its next power-up; the port is free again,
        // so nothing was left open.
        sim.powerCycle();
        modbus_t *ctx = modbus_new_rtu(sim.portPath().c_str(), 9600, 'N', 8, 1);
        uint16_t regs[CommRegisterCount] = {};
        CHECK(modbus_connect(ctx) == 0 && modbus_set_slave(ctx, 1) == 0
              && modbus_read_registers(ctx, RegStation, CommRegisterCount, regs) == CommRegisterCount);
        CHECK(std::vector<uint16_t>(regs, regs + CommRegisterCount) == std::vector<uint16_t>({1, 3, 8, 0, 0}));
        modbus_close(ctx);
        modbus_free(ctx);
    }
    ktsim::Simulator empty;
    REQUIRE(empty.start());
    std::vector<int> none, cancelled, missing;
    CHECK(sweep(empty.portPath(), none).outcome == ResetOutcome::NotFound && int(none.size()) == SweepAttempts);
    CHECK(sweep(empty.portPath(), cancelled, 2).outcome == ResetOutcome::Cancelled && cancelled.size() == 3);
    const ResetResult r = sweep("/dev/tarvo-no-such-port", missing);
    CHECK(r.outcome == ResetOutcome::PortError && r.attempt == 0);
}

MINITEST_MAIN
