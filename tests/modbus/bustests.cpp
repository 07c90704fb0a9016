// The master against the module simulator, through nothing but a port name:
// the same cases run on Linux (a pty) and on Windows (a COM port under wine).
// They assume exactly this bus:
//
//   ktsim --module kt101:1 --module kt104:2 --module humidity:3 --module voltage:4
//         --module current:5 --module kt101:10 --module kt101:11 --module kt101:12
//         --module kt101:13 --module kt101:14 --module kt101:15 --module kt101:16
//         --fault 10:silence --fault 11:badcrc --fault 12:exception:6 --fault 13:wrongaddr
//         --fault 14:truncated --fault 15:late:300 --fault 16:bytebybyte:5
//
// busPort() names the port; it is defined by the main of each platform.
#include "bustests.h"
#include "minitest.h"
#include "modbus.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

const int responseTimeoutMs = 200;

struct Free
{
    void operator()(modbus_t *ctx) const
    {
        modbus_close(ctx);
        modbus_free(ctx);
    }
};
using Context = std::unique_ptr<modbus_t, Free>;

Context connectBus(int slave)
{
    Context ctx(modbus_new_rtu(busPort(), 9600, 'N', 8, 1));
    if (!ctx || modbus_connect(ctx.get()) != 0)
        return nullptr;
    modbus_set_slave(ctx.get(), slave);
    modbus_set_response_timeout(ctx.get(), 0, responseTimeoutMs * 1000);
    modbus_set_byte_timeout(ctx.get(), 0, 100000);
    return ctx;
}

std::string hex(const uint8_t *b, int n)
{
    std::string s;
    char part[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(part, sizeof part, i ? " %02x" : "%02x", b[i]);
        s += part;
    }
    return s;
}

} // namespace

TEST_CASE(busReadsEveryModuleOfTheDemoBus)
{
    Context ctx = connectBus(1);
    REQUIRE(ctx);
    uint16_t r[5] = {};
    CHECK_EQ(modbus_read_registers(ctx.get(), 1, 5, r), 5);
    CHECK(r[0] == 1 && r[1] == 3 && r[2] == 8 && r[3] == 0 && r[4] == 0); // station 1, 9600 8N1
    CHECK_EQ(modbus_read_registers(ctx.get(), 100, 1, r), 1);
    CHECK(r[0] > 200 && r[0] < 270); // tenths of a degree
    CHECK_EQ(modbus_read_input_registers(ctx.get(), 100, 1, r), 1);

    modbus_set_slave(ctx.get(), 2);
    uint16_t temps[4], ohms[4];
    CHECK_EQ(modbus_read_registers(ctx.get(), 100, 4, temps), 4);
    CHECK_EQ(modbus_read_registers(ctx.get(), 200, 4, ohms), 4);
    for (int ch = 0; ch < 4; ++ch)
        CHECK(temps[ch] > 150 && temps[ch] < 300 && ohms[ch] > 10500 && ohms[ch] < 11200);

    const struct { int slave; int low, high; } singles[] = {{3, 40, 56}, {4, 11800, 12200}, {5, 11500, 12500}};
    for (const auto &s : singles) {
        modbus_set_slave(ctx.get(), s.slave);
        CHECK_EQ(modbus_read_registers(ctx.get(), 100, 1, r), 1);
        CHECK(r[0] >= s.low && r[0] <= s.high);
    }
}

TEST_CASE(busWritesAndReadsBackRegistersAndCoils)
{
    Context ctx = connectBus(2);
    REQUIRE(ctx);
    // Bytes a line in cooked mode would eat or change travel untouched.
    const uint16_t offsets[4] = {0x030A, 0x0D11, 0x131A, 0x7FFF};
    CHECK_EQ(modbus_write_registers(ctx.get(), 400, 4, offsets), 4);
    uint16_t back[4] = {};
    CHECK_EQ(modbus_read_registers(ctx.get(), 400, 4, back), 4);
    CHECK(std::memcmp(back, offsets, sizeof back) == 0);
    CHECK_EQ(modbus_write_register(ctx.get(), 401, 0xFF13), 1);
    CHECK_EQ(modbus_read_registers(ctx.get(), 401, 1, back), 1);
    CHECK_EQ(back[0], 0xFF13);

    const uint8_t bits[10] = {1, 1, 0, 1, 0, 0, 0, 0, 1, 0};
    CHECK_EQ(modbus_write_bits(ctx.get(), 0x13, 10, bits), 10);
    uint8_t coils[10] = {}, inputs[10] = {};
    CHECK_EQ(modbus_read_bits(ctx.get(), 0x13, 10, coils), 10);
    CHECK(std::memcmp(coils, bits, 10) == 0);
    CHECK_EQ(modbus_read_input_bits(ctx.get(), 0x13, 10, inputs), 10);
    CHECK(std::memcmp(inputs, bits, 10) == 0);
    CHECK_EQ(modbus_write_bit(ctx.get(), 0x14, 5), 1);
    CHECK_EQ(modbus_write_bit(ctx.get(), 0x13, 0), 1);
    CHECK_EQ(modbus_read_bits(ctx.get(), 0x13, 2, coils), 2);
    CHECK(coils[0] == 0 && coils[1] == 1);
}

TEST_CASE(busCapturesFramesInDebugModeOnly)
{
    Context ctx = connectBus(1);
    REQUIRE(ctx);
    modbus_set_debug(ctx.get(), 1);
    uint16_t v = 0;
    uint8_t buf[MODBUS_CAPTURE_SIZE];
    int length = 0;
    CHECK_EQ(modbus_read_registers(ctx.get(), 100, 1, &v), 1);
    modbus_get_last_request(ctx.get(), buf, &length);
    CHECK_EQ(hex(buf, length), std::string("01 03 00 64 00 01 c5 d5"));
    modbus_get_last_response(ctx.get(), buf, &length);
    REQUIRE(length == 7);
    CHECK_EQ(hex(buf, 3), std::string("01 03 02"));
    CHECK_EQ(buf[3] * 256 + buf[4], v);

    modbus_set_debug(ctx.get(), 0);
    modbus_set_slave(ctx.get(), 2);
    uint16_t four[4];
    CHECK_EQ(modbus_read_registers(ctx.get(), 100, 4, four), 4);
    modbus_get_last_request(ctx.get(), buf, &length);
    CHECK_EQ(hex(buf, length), std::string("01 03 00 64 00 01 c5 d5"));
    CHECK_EQ(modbus_get_last_response_length(ctx.get()), 13);
    modbus_get_last_response(ctx.get(), buf, &length);
    CHECK_EQ(buf[0], 0x01); // the bytes stay those of the last debug-mode answer
}

TEST_CASE(busReportsWhatTheModulesGetWrong)
{
    Context ctx = connectBus(1);
    REQUIRE(ctx);
    uint16_t v[126];
    CHECK_EQ(modbus_read_registers(ctx.get(), 100, 126, v), -1);
    CHECK_EQ(errno, MODBUS_ERR_TOO_MANY_DATA);
    CHECK_EQ(modbus_read_registers(ctx.get(), 9999, 1, v), -1);
    CHECK_EQ(errno, MODBUS_ERR_ILLEGAL_DATA_ADDRESS);
    CHECK_EQ(std::string(modbus_strerror(errno)), "Illegal data address");
    CHECK_EQ(modbus_write_register(ctx.get(), 2, 99), -1); // no such baud code
    CHECK_EQ(errno, MODBUS_ERR_ILLEGAL_DATA_VALUE);

    const struct { int slave; int err; } rows[] = {{11, MODBUS_ERR_BAD_CRC},
                                                   {12, MODBUS_ERR_SLAVE_BUSY},
                                                   {13, MODBUS_ERR_BAD_SLAVE},
                                                   {14, ETIMEDOUT}};
    for (const auto &r : rows) {
        modbus_set_slave(ctx.get(), r.slave);
        errno = 0;
        CHECK_EQ(modbus_read_registers(ctx.get(), 100, 1, v), -1);
        CHECK_EQ(errno, r.err);
    }
    CHECK_EQ(modbus_get_last_response_length(ctx.get()), 4); // what arrived of the truncated answer
    // The context stays usable after every kind of failure.
    modbus_set_slave(ctx.get(), 1);
    CHECK_EQ(modbus_read_registers(ctx.get(), 1, 1, v), 1);
    CHECK_EQ(v[0], 1);
}

TEST_CASE(busTimesOutOnSilenceAndIgnoresLateAnswers)
{
    Context ctx = connectBus(10);
    REQUIRE(ctx);
    uint16_t v = 0;
    const auto start = std::chrono::steady_clock::now();
    CHECK_EQ(modbus_read_registers(ctx.get(), 100, 1, &v), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    CHECK_EQ(errno, ETIMEDOUT);
    CHECK(waited >= std::chrono::milliseconds(responseTimeoutMs - 20));
    CHECK_EQ(modbus_get_last_response_length(ctx.get()), 0);

    // Station 15 answers 300 ms late, after the 200 ms timeout. Nothing on the
    // line tells when that answer lands, so give it time to, then check the
    // next exchange gets its own answer and not the stale one.
    modbus_set_slave(ctx.get(), 15);
    CHECK_EQ(modbus_read_registers(ctx.get(), 1, 1, &v), -1);
    CHECK_EQ(errno, ETIMEDOUT);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    modbus_set_slave(ctx.get(), 4);
    CHECK_EQ(modbus_read_registers(ctx.get(), 1, 1, &v), 1);
    CHECK_EQ(v, 4);
}

TEST_CASE(busTakesAnAnswerDeliveredByteByByte)
{
    Context ctx = connectBus(16);
    REQUIRE(ctx);
    uint16_t r[5] = {};
    CHECK_EQ(modbus_read_registers(ctx.get(), 1, 5, r), 5); // 15 bytes, 5 ms apart
    CHECK(r[0] == 16 && r[1] == 3 && r[2] == 8);
    // With a byte timeout shorter than the gaps the answer breaks off.
    modbus_set_byte_timeout(ctx.get(), 0, 1000);
    CHECK_EQ(modbus_read_registers(ctx.get(), 1, 5, r), -1);
    CHECK_EQ(errno, ETIMEDOUT);
}
