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
#include "minitest.h"
#include "rig.h"

#include <cerrno>
#include <chrono>
#include <cstring>

const char *busPort();
static const int responseTimeoutMs = 200;

TEST_CASE(busReadsAndWritesEveryKindOfData)
{
    Context ctx = openBus(busPort(), 2, responseTimeoutMs);
    REQUIRE(ctx);
    // The communication block of station 2: its address, 9600 baud, 8N1.
    uint16_t r[5] = {}, back[4] = {};
    CHECK(modbus_read_registers(ctx.get(), 1, 5, r) == 5 && r[0] == 2 && r[1] == 3 && r[2] == 8 && r[3] == 0 && r[4] == 0);
    CHECK(modbus_read_input_registers(ctx.get(), 1, 2, r) == 2 && r[0] == 2 && r[1] == 3);
    // Bytes a line in cooked mode would eat or change travel untouched.
    const uint16_t offsets[4] = {0x030A, 0x0D11, 0x131A, 0xFF13};
    CHECK_EQ(modbus_write_registers(ctx.get(), 400, 4, offsets), 4);
    CHECK(modbus_read_registers(ctx.get(), 400, 4, back) == 4 && std::memcmp(back, offsets, sizeof back) == 0);
    const uint8_t bits[10] = {1, 1, 0, 1, 0, 0, 0, 0, 1, 0};
    uint8_t coils[10] = {}, inputs[10] = {};
    CHECK(modbus_write_bits(ctx.get(), 0x13, 10, bits) == 10 && modbus_read_bits(ctx.get(), 0x13, 10, coils) == 10);
    CHECK(modbus_read_input_bits(ctx.get(), 0x13, 10, inputs) == 10 && !std::memcmp(coils, bits, 10) && !std::memcmp(inputs, bits, 10));
}

// Station 15 answers 300 ms late, after the 200 ms timeout: the requests right
// after get their own answers or none, never an earlier request's.
TEST_CASE(busNeverTakesALateAnswerForTheNextRequest)
{
    Context ctx = openBus(busPort(), 15, responseTimeoutMs);
    REQUIRE(ctx);
    uint16_t v = 0;
    CHECK(modbus_read_registers(ctx.get(), 1, 1, &v) == -1 && errno == ETIMEDOUT); // 15
    CHECK(modbus_read_registers(ctx.get(), 2, 1, &v) == -1 && errno == ETIMEDOUT); // late as well
    CHECK_EQ(stationOf(ctx.get(), 4), 4);
}

TEST_CASE(busReportsWhatTheModulesGetWrong)
{
    Context ctx = openBus(busPort(), 1, responseTimeoutMs);
    REQUIRE(ctx);
    uint16_t v[5] = {};
    CHECK(modbus_write_register(ctx.get(), 2, 99) == -1 && errno == MODBUS_ERR_ILLEGAL_DATA_VALUE); // no such baud code
    const struct { int slave; int err; } rows[] = {{10, ETIMEDOUT},           {11, MODBUS_ERR_BAD_CRC},
                                                   {12, MODBUS_ERR_SLAVE_BUSY}, {13, MODBUS_ERR_BAD_SLAVE},
                                                   {14, ETIMEDOUT}};
    for (const auto &r : rows) {
        modbus_set_slave(ctx.get(), r.slave);
        const auto start = std::chrono::steady_clock::now();
        CHECK(modbus_read_registers(ctx.get(), 100, 1, v) == -1 && errno == r.err);
        CHECK(std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(responseTimeoutMs - 20)
              || r.slave != 10); // silence: the whole response timeout
    }
    CHECK_EQ(modbus_get_last_response_length(ctx.get()), 4); // what arrived of the truncated answer

    // Station 16 sends its 15 bytes 5 ms apart: taken whole, unless the byte
    // timeout is shorter than the gaps.
    modbus_set_slave(ctx.get(), 16);
    CHECK(modbus_read_registers(ctx.get(), 1, 5, v) == 5 && v[0] == 16 && v[1] == 3 && v[2] == 8);
    modbus_set_byte_timeout(ctx.get(), 0, 1000);
    CHECK(modbus_read_registers(ctx.get(), 1, 5, v) == -1 && errno == ETIMEDOUT);
    CHECK_EQ(stationOf(ctx.get(), 4), 4); // what still trickles in of that answer is dropped
}
