// The simulator's behaviour that the master's tests and the pages rely on,
// checked from a raw pty client with its own tiny request builder.
#include "minitest.h"
#include "simulator.h"
#include "customrate.h"
#include "ptyclient.h"

#include <cmath>

using namespace ktsim;

namespace {

bool started(Simulator &sim, const std::vector<ModuleSpec> &bus)
{
    for (const ModuleSpec &m : bus)
        sim.addModule(m);
    return sim.start();
}

} // namespace

TEST_CASE(readsTheRegisterMapOfEachModel)
{
    Simulator sim;
    REQUIRE(started(sim, Simulator::demoBus()));
    Port port(sim.portPath());
    REQUIRE(port.fd >= 0);

    // The request the debugging page sends for a KT101 temperature.
    const Bytes req = request(1, 3, 100, 1);
    CHECK(req == (Bytes{0x01, 0x03, 0x00, 0x64, 0x00, 0x01, 0xC5, 0xD5}));
    Bytes a = port.exchange(req);
    REQUIRE(a.size() == 7 && crcOk(a));
    CHECK_EQ(word(a, 0), sim.reg(1, 100));
    CHECK(int16_t(word(a, 0)) > 150 && int16_t(word(a, 0)) < 350); // about room temperature

    // KT104: temperatures, PT100 resistances and offsets in one block each.
    Bytes t = port.exchange(request(2, 3, 100, 4));
    Bytes r = port.exchange(request(2, 3, 200, 4));
    Bytes o = port.exchange(request(2, 3, 400, 4));
    REQUIRE(t.size() == 13 && r.size() == 13 && o.size() == 13);
    for (int ch = 0; ch < 4; ++ch) {
        CHECK_EQ(word(r, ch), sim.reg(2, 200 + ch));
        CHECK_EQ(word(o, ch), 0);
        // The resistance and the temperature describe the same sensor (a few reads apart).
        const double ohm = word(r, ch) / 100.0;
        const double celsius = int16_t(word(t, ch)) / 10.0;
        CHECK(std::abs(ohm - 100 * (1 + 3.9083e-3 * celsius)) < 0.5);
    }

    // Humidity, voltage and current: one reading in register 100, plausible units.
    const std::pair<int, int> ranges[] = {{20, 90}, {11000, 13000}, {4000, 20000}};
    for (int station = 3; station <= 5; ++station) {
        a = port.exchange(request(station, 3, 100, 1));
        REQUIRE(a.size() == 7);
        CHECK_EQ(word(a, 0), sim.reg(station, 100));
        CHECK(word(a, 0) >= ranges[station - 3].first && word(a, 0) <= ranges[station - 3].second);
        CHECK_EQ(exceptionOf(port.exchange(request(station, 3, 400, 1))), 2); // no offset register
    }

    // Input registers mirror the holding registers; comm block of a demo module.
    a = port.exchange(request(2, 4, 1, 5));
    REQUIRE(a.size() == 15);
    CHECK(Bytes(a.begin() + 3, a.end() - 2) == words({2, 3, 8, 0, 0}));
}

TEST_CASE(offsetsShiftTheTemperatureAndMissingSensorsReadFFFF)
{
    Simulator sim;
    REQUIRE(started(sim, Simulator::demoBus()));
    Port port(sim.portPath());

    const int before = int16_t(word(port.exchange(request(1, 3, 100, 1)), 0));
    Bytes a = port.exchange(request(1, 6, 400, 0xFFF1)); // -1.5 degrees
    CHECK(a == request(1, 6, 400, 0xFFF1)); // echoed
    CHECK_EQ(sim.reg(1, 400), 0xFFF1);
    const int after = int16_t(word(port.exchange(request(1, 3, 100, 1)), 0));
    CHECK(after - before <= -14 && after - before >= -16);

    a = port.exchange(request(2, 0x10, 400, 4, words({3, 65533, 127, 0}), true));
    CHECK(a == request(2, 0x10, 400, 4));
    const uint16_t written[] = {3, 65533, 127, 0};
    for (int ch = 0; ch < 4; ++ch)
        CHECK_EQ(sim.reg(2, 400 + ch), written[ch]);

    // A missing sensor reads 0xFFFF and stays so while the others drift on.
    sim.setReg(2, 102, 0xFFFF);
    sim.setReg(2, 202, 0xFFFF);
    sim.setReg(1, 100, 0xFFFF);
    for (int i = 0; i < 3; ++i) {
        const Bytes t = port.exchange(request(2, 3, 100, 4));
        const Bytes r = port.exchange(request(2, 3, 200, 4));
        REQUIRE(t.size() == 13 && r.size() == 13);
        CHECK_EQ(word(t, 2), 0xFFFF);
        CHECK_EQ(word(r, 2), 0xFFFF);
        CHECK(word(t, 1) != 0xFFFF && word(r, 3) != 0xFFFF);
        CHECK_EQ(word(port.exchange(request(1, 3, 100, 1)), 0), 0xFFFF);
    }
}

TEST_CASE(answersTheStandardExceptions)
{
    Simulator sim;
    REQUIRE(started(sim, Simulator::demoBus()));
    Port port(sim.portPath());

    // Illegal function: unknown codes, known-length or ended by the silence.
    CHECK_EQ(exceptionOf(port.exchange(withCrc({1, 0x2B, 0x0E, 0x01, 0x00}))), 1);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 0x16, 100, 0xFF00, {0, 0}))), 1);
    CHECK_EQ(exceptionOf(port.exchange(withCrc({1, 0x07}))), 1);

    // Illegal data address: gaps in the map, read-only readings, past the coils.
    CHECK_EQ(exceptionOf(port.exchange(request(1, 3, 101, 1))), 2);
    CHECK_EQ(exceptionOf(port.exchange(request(2, 3, 100, 5))), 2);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 3, 1, 6))), 2);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 6, 100, 5))), 2);
    CHECK_EQ(exceptionOf(port.exchange(request(2, 0x10, 203, 2, words({1, 1}), true))), 2);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 1, 2040, 9))), 2);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 5, 2048, 0xFF00))), 2);

    // Illegal data value: quantities, coil values, settings the module cannot take.
    CHECK_EQ(exceptionOf(port.exchange(request(1, 3, 100, 0))), 3);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 3, 100, 126))), 3);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 1, 0, 2001))), 3);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 5, 3, 0x1234))), 3);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 0x10, 400, 1, words({1, 2}), true))), 3); // count mismatch
    CHECK_EQ(exceptionOf(port.exchange(request(1, 6, 1, 0))), 3);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 6, 2, 9))), 3);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 6, 3, 7))), 3);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 6, 37, 2))), 3);
    // All or nothing: one bad value and none of the block is written.
    CHECK_EQ(exceptionOf(port.exchange(request(1, 0x10, 1, 5, words({9, 4, 8, 1, 3}), true))), 3);
    CHECK_EQ(sim.reg(1, 1), 1);
    CHECK_EQ(sim.reg(1, 2), 3);
    CHECK_EQ(sim.reg(1, 4), 0);
}

TEST_CASE(coilsAndDiscreteInputsPackBits)
{
    Simulator sim;
    REQUIRE(started(sim, {{ModuleType::KT101, 1}}));
    Port port(sim.portPath());

    // Ten coils from 5: 1,0,1,1,0,0,0,0 | 1,1
    Bytes a = port.exchange(request(1, 0x0F, 5, 10, {0x0D, 0x03}, true));
    CHECK(a == request(1, 0x0F, 5, 10));
    a = port.exchange(request(1, 1, 5, 10));
    CHECK(a == withCrc({1, 1, 2, 0x0D, 0x03}));
    a = port.exchange(request(1, 5, 6, 0xFF00));
    CHECK(a == request(1, 5, 6, 0xFF00));
    a = port.exchange(request(1, 2, 4, 4)); // discrete inputs mirror the coils: 0,1,1,1
    CHECK(a == withCrc({1, 2, 1, 0x0E}));
    a = port.exchange(request(1, 1, 0, 2000));
    CHECK(a.size() == 255 && crcOk(a) && a[2] == 250);
}

TEST_CASE(commSettingsTakeEffectOnlyAfterARestart)
{
    Simulator sim;
    REQUIRE(started(sim, {{ModuleType::KT101, 7}}));
    Port port(sim.portPath());

    Bytes a = port.exchange(request(7, 0x10, 1, 5, words({9, 4, 8, 1, 1}), true));
    CHECK(a == request(7, 0x10, 1, 5));
    CHECK_EQ(sim.reg(7, 1), 9); // pending: stored, still station 7 at 9600 8N1
    a = port.exchange(request(7, 3, 1, 5));
    CHECK(a.size() == 15 && Bytes(a.begin() + 3, a.end() - 2) == words({9, 4, 8, 1, 1}));

    // Restart: no answer, then the module lives at 19200, 2 stop bits, odd, station 9.
    const uint64_t framesBefore = sim.framesReceived();
    CHECK(port.exchange(request(7, 6, 37, 1)).empty());
    CHECK_EQ(sim.framesReceived(), framesBefore + 1);
    CHECK(port.exchange(request(9, 3, 100, 1)).empty());
    CHECK(port.setLine(B19200, true, true));
    CHECK(port.exchange(request(7, 3, 100, 1)).empty());
    a = port.exchange(request(9, 3, 100, 1));
    CHECK(a.size() == 7 && a[0] == 9);

    // A power cycle applies pending settings too.
    CHECK(port.exchange(request(9, 6, 1, 12)) == request(9, 6, 1, 12));
    CHECK(port.exchange(request(12, 3, 100, 1)).empty());
    sim.powerCycle();
    a = port.exchange(request(12, 3, 100, 1));
    CHECK(a.size() == 7 && a[0] == 12);
    CHECK_EQ(sim.reg(12, 1), 12);
    CHECK_EQ(sim.reg(9, 1), 0); // nobody at the old address
}

TEST_CASE(hearsOnlyAtItsLineSettings)
{
    Simulator sim;
    REQUIRE(started(sim, {{ModuleType::KT101, 1, 9600, 'N', 1},
                          {ModuleType::KT101, 2, 9600, 'O', 1},
                          {ModuleType::KT101, 3, 9600, 'E', 1},
                          {ModuleType::KT101, 4, 19200, 'N', 2},
                          {ModuleType::Humidity, 5, 56000, 'N', 1}}));
    Port port(sim.portPath());
    auto answers = [&](int station) { return port.exchange(request(station, 3, 100, 1), 150).size() == 7; };

    // Even and none look alike on a pty: both hear a line that is not odd.
    CHECK(answers(1));
    CHECK(!answers(2));
    CHECK(answers(3));
    CHECK(!answers(4));
    REQUIRE(port.setLine(B9600, false, true));
    CHECK(!answers(1));
    CHECK(answers(2));
    CHECK(!answers(3));
    REQUIRE(port.setLine(B19200, false, false));
    CHECK(!answers(4)); // right rate, wrong stop bits
    REQUIRE(port.setLine(B19200, true, false));
    CHECK(answers(4));

    // A rate without a termios constant, as a master sets it through termios2.
    const uint64_t before = sim.framesReceived();
    REQUIRE(port.setLine(B57600));
    CHECK(!answers(5));
    CHECK_EQ(sim.framesReceived(), before + 1); // seen, just not heard
    REQUIRE(setCustomRate(port.fd, 56000));
    CHECK(answers(5));
}

TEST_CASE(broadcastReadsAreAnsweredAndWritesApplied)
{
    Simulator sim;
    REQUIRE(started(sim, {{ModuleType::KT104, 9, 19200, 'N', 1}}));
    Port port(sim.portPath(), B19200);

    // A lone module answers a broadcast read with its own address.
    Bytes a = port.exchange(request(0, 3, 1, 1));
    CHECK(a == withCrc({9, 3, 2, 0, 9}));

    // The reset procedure's factory write: applied without an answer, live after a power cycle.
    CHECK(port.exchange(request(0, 0x10, 1, 5, words({1, 3, 8, 0, 0}), true)).empty());
    CHECK_EQ(sim.reg(9, 1), 1);
    CHECK_EQ(sim.reg(9, 2), 3);
    sim.powerCycle();
    REQUIRE(port.setLine(B9600));
    a = port.exchange(request(1, 3, 1, 5));
    CHECK(a.size() == 15 && Bytes(a.begin() + 3, a.end() - 2) == words({1, 3, 8, 0, 0}));

    // Two modules answering one broadcast read collide on the wire.
    sim.addModule({ModuleType::Humidity, 2});
    a = port.exchange(request(0, 3, 1, 1));
    CHECK(a.size() == 7);
    CHECK(!crcOk(a));
}

TEST_CASE(brokenRequestsAreDiscarded)
{
    Simulator sim;
    REQUIRE(started(sim, {{ModuleType::KT101, 1}}));
    Port port(sim.portPath());

    Bytes bad = request(1, 3, 100, 1);
    bad[7] ^= 1;
    uint64_t frames = sim.framesReceived();
    CHECK(port.exchange(bad).empty());
    CHECK_EQ(sim.framesReceived(), frames + 1);

    // Junk glued to a good request spoils the whole burst, as on a real line...
    Bytes burst{0x01, 0x10, 0x77};
    const Bytes good = request(1, 3, 100, 1);
    burst.insert(burst.end(), good.begin(), good.end());
    CHECK(port.exchange(burst).empty());
    // ...and after the silence the module listens again.
    CHECK_EQ(port.exchange(good).size(), 7u);

    // A byte count announcing more than a frame can hold.
    CHECK(port.exchange(withCrc({1, 0x10, 0, 1, 0, 1, 0xFF, 0, 0})).empty());
    CHECK_EQ(port.exchange(good).size(), 7u);
}

TEST_CASE(injectsFaults)
{
    Simulator sim;
    REQUIRE(started(sim, {{ModuleType::KT101, 1}}));
    Port port(sim.portPath());
    const Bytes read = request(1, 3, 100, 1);

    sim.setFault(1, Fault::Silence);
    CHECK(port.exchange(request(1, 6, 400, 5)).empty());
    CHECK_EQ(sim.reg(1, 400), 0); // unplugged: nothing applied either

    sim.setFault(1, Fault::BadCrc);
    Bytes a = port.exchange(read);
    CHECK(a.size() == 7 && !crcOk(a) && a[0] == 1 && a[2] == 2);

    sim.setFault(1, Fault::Exception);
    CHECK_EQ(exceptionOf(port.exchange(read)), 4);
    sim.setFault(1, Fault::Exception, 6);
    CHECK_EQ(exceptionOf(port.exchange(request(1, 6, 400, 5))), 6);
    CHECK_EQ(sim.reg(1, 400), 0);

    sim.setFault(1, Fault::WrongAddress);
    a = port.exchange(read);
    CHECK(a.size() == 7 && crcOk(a) && a[0] == 2);

    sim.setFault(1, Fault::Truncated);
    a = port.exchange(read);
    CHECK(a.size() == 4 && a[0] == 1 && a[1] == 3);

    sim.setFault(1, Fault::Noise);
    a = port.exchange(read);
    REQUIRE(a.size() == 10);
    CHECK(crcOk(Bytes(a.begin() + 3, a.end())) && a[3] == 1);

    // Timing faults: lower bounds only, the simulator can be late but never early.
    sim.setFault(1, Fault::Late, 300);
    auto t0 = Clock::now();
    CHECK(port.send(read));
    CHECK(port.receive(100).empty());
    a = port.receive(1000);
    CHECK(a.size() == 7 && crcOk(a) && port.msSince(t0, 0) >= 300);

    sim.setFault(1, Fault::ByteByByte, 15);
    t0 = Clock::now();
    a = port.exchange(read);
    CHECK(a.size() == 7 && crcOk(a) && port.msSince(t0, 6) >= 6 * 15);

    sim.setFault(1, Fault::None);
    CHECK(port.exchange(read).size() == 7);
}

TEST_CASE(wireTimeReleasesEachByteAtItsCharacterTime)
{
    Simulator sim;
    REQUIRE(started(sim, {{ModuleType::KT101, 1, 9600, 'N', 1}, {ModuleType::KT101, 2, 9600, 'E', 1}}));
    sim.setWireTime(true);
    Port port(sim.portPath());

    // 8 request characters, 3.5 of silence, then answer byte i at its end.
    for (int station : {1, 2}) {
        const double charMs = (station == 1 ? 10 : 11) * 1000.0 / 9600;
        const auto t0 = Clock::now();
        const Bytes a = port.exchange(request(station, 3, 100, 1));
        REQUIRE(a.size() == 7 && crcOk(a));
        for (size_t i = 0; i < a.size(); ++i)
            CHECK(port.msSince(t0, i) >= (8 + 3.5 + double(i + 1)) * charMs - 0.05);
    }

    // Above 19200 baud the silence is a fixed 1.75 ms.
    REQUIRE(port.setLine(B115200));
    sim.addModule({ModuleType::Voltage, 3, 115200});
    const auto t0 = Clock::now();
    const Bytes a = port.exchange(request(3, 3, 100, 1));
    REQUIRE(a.size() == 7);
    CHECK(port.msSince(t0, 6) >= 15 * 10000.0 / 115200 + 1.75 - 0.05);
}
MINITEST_MAIN
