// The master's logic over an in-process line: framing, CRC, checks of the
// answer, captures, timeouts as the receive path asks for them, and the line
// settings a pty cannot carry (even parity against none).
#include "capture.h"
#include "minitest.h"
#include "modbus-private.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Bit by bit, independent of the master's table method.
uint16_t referenceCrc(const Bytes &b)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : b) {
        crc ^= byte;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

Bytes withCrc(Bytes b)
{
    const uint16_t crc = referenceCrc(b);
    b.push_back(uint8_t(crc & 0xFF));
    b.push_back(uint8_t(crc >> 8));
    return b;
}

struct FakeLine final : SerialLine
{
    std::function<Bytes(const Bytes &)> respond; // the device: request in, answer out
    std::deque<uint8_t> input;
    std::vector<Bytes> sent;
    std::vector<int> readTimeouts;
    int chunk = 512; // bytes handed out per read at most
    int readErrno = 0, openErrno = 0, configureErrno = 0, writeFailures = 0;
    int baud = 0, dataBits = 0, stopBits = 0, discards = 0, restores = 0;
    char parity = 0;
    bool opened = false;

    int open(const char *) override
    {
        if (openErrno) {
            errno = openErrno;
            return -1;
        }
        opened = true;
        return 0;
    }
    int configure(int b, int d, char p, int s) override
    {
        baud = b, dataBits = d, parity = p, stopBits = s;
        errno = configureErrno;
        return configureErrno ? -1 : 0;
    }
    int read(uint8_t *buf, int max, int timeoutMs) override
    {
        readTimeouts.push_back(timeoutMs);
        if (readErrno) {
            errno = readErrno;
            return -1;
        }
        int n = 0;
        while (n < max && n < chunk && !input.empty()) {
            buf[n++] = input.front();
            input.pop_front();
        }
        return n;
    }
    int write(const uint8_t *buf, int len) override
    {
        if (writeFailures > 0) {
            --writeFailures;
            errno = EPIPE;
            return -1;
        }
        sent.emplace_back(buf, buf + len);
        if (respond)
            for (uint8_t b : respond(sent.back()))
                input.push_back(b);
        return len;
    }
    int discardInput() override
    {
        ++discards;
        input.clear();
        return 0;
    }
    int restoreSettings() override { return ++restores, 0; }
    int close() override { return opened = false, 0; }
    bool isOpen() const override { return opened; }
    long lastSystemError() const override { return 0; }
};

struct Fixture
{
    modbus_t *ctx;
    FakeLine *line;
    explicit Fixture(int slave = 1, char parity = 'N', int baud = 9600, int dataBits = 8, int stopBits = 1)
    {
        ctx = modbus_new_rtu("fake", baud, parity, dataBits, stopBits);
        line = new FakeLine;
        modbus_rtu_set_line(ctx, std::unique_ptr<SerialLine>(line));
        if (slave >= 0)
            modbus_set_slave(ctx, slave);
    }
    ~Fixture() { modbus_close(ctx), modbus_free(ctx); }
    void answer(const Bytes &rsp) { line->respond = [rsp](const Bytes &) { return rsp; }; }
};

} // namespace

TEST_CASE(crcMatchesTheStandardAndTheFramesOfTheFrameLog)
{
    const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    CHECK_EQ(referenceCrc(digits), 0x4B37);
    // The table method's high byte is the one sent first: the CRC's low byte.
    CHECK_EQ(modbus_rtu_crc16(digits.data(), 9), 0x374B);
    const Bytes request = {0x01, 0x03, 0x00, 0x64, 0x00, 0x01};
    CHECK_EQ(modbus_rtu_crc16(request.data(), 6), 0xC5D5);
    const Bytes response = {0x01, 0x03, 0x02, 0x00, 0xFA};
    CHECK_EQ(modbus_rtu_crc16(response.data(), 5), 0x3807);
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = uint8_t(i * 37 + 11);
    const uint16_t ref = referenceCrc(all);
    CHECK_EQ(modbus_rtu_crc16(all.data(), 256), uint16_t((ref << 8) | (ref >> 8)));
}

TEST_CASE(creationChecksItsArgumentsAndSetsDefaults)
{
    {
        OutputCapture err(stderr);
        errno = 0;
        CHECK(modbus_new_rtu("", 9600, 'N', 8, 1) == nullptr);
        CHECK_EQ(errno, EINVAL);
        CHECK(modbus_new_rtu(nullptr, 9600, 'N', 8, 1) == nullptr);
        CHECK(modbus_new_rtu("COM3", 0, 'N', 8, 1) == nullptr);
        CHECK_EQ(err.text(), std::string("The device string is empty\nThe device string is empty\n"
                                         "The baud rate value must not be zero\n"));
    }
    errno = 0;
    CHECK(modbus_new_rtu("COM3", 9600, 'e', 8, 1) == nullptr);
    CHECK_EQ(errno, EINVAL);

    modbus_t *ctx = modbus_new_rtu("COM3", 9600, 'O', 8, 1);
    REQUIRE(ctx);
    uint32_t s = 9, us = 9;
    modbus_get_response_timeout(ctx, &s, &us);
    CHECK(s == 0 && us == 500000);
    modbus_get_byte_timeout(ctx, &s, &us);
    CHECK(s == 0 && us == 500000);
    modbus_get_indication_timeout(ctx, &s, &us);
    CHECK(s == 0 && us == 0);
    CHECK_EQ(modbus_get_slave(ctx), -1);
    CHECK_EQ(modbus_get_header_length(ctx), 1);
    CHECK_EQ(modbus_get_last_response_length(ctx), 0);

    CHECK_EQ(modbus_set_slave(ctx, 248), -1);
    CHECK_EQ(modbus_set_slave(ctx, -1), -1);
    CHECK_EQ(modbus_set_slave(ctx, 0), 0);
    CHECK_EQ(modbus_set_response_timeout(ctx, 0, 0), -1);
    CHECK_EQ(modbus_set_response_timeout(ctx, 0, 1000000), -1);
    CHECK_EQ(modbus_set_response_timeout(ctx, 1, 500000), 0);
    CHECK_EQ(modbus_set_byte_timeout(ctx, 0, 0), 0);
    modbus_get_response_timeout(ctx, &s, &us);
    CHECK(s == 1 && us == 500000);
    modbus_free(ctx);

    errno = 0;
    CHECK_EQ(modbus_set_slave(nullptr, 1), -1);
    CHECK_EQ(errno, EINVAL);
    CHECK_EQ(modbus_get_last_request(nullptr, nullptr, nullptr), -1);
    CHECK_EQ(modbus_get_last_response_length(nullptr), -1);
    CHECK_EQ(modbus_connect(nullptr), -1);
    modbus_free(nullptr);
}

TEST_CASE(connectAppliesTheLineSettingsAsTheModulesNeedThem)
{
    struct Row { int baud; char parity; int data, stop; int wantBaud; char wantParity; int wantData, wantStop; };
    const Row rows[] = {{9600, 'N', 8, 1, 9600, 'N', 8, 1},   {19200, 'E', 7, 2, 19200, 'E', 7, 2},
                        {14400, 'O', 5, 1, 14400, 'O', 5, 1}, {56000, 'N', 9, 3, 9600, 'N', 8, 2},
                        {1000000, 'E', 4, 0, 1000000, 'E', 8, 2}};
    for (const Row &r : rows) {
        Fixture f(1, r.parity, r.baud, r.data, r.stop);
        modbus_set_debug(f.ctx, 1);
        OutputCapture out(stdout), err(stderr);
        REQUIRE(modbus_connect(f.ctx) == 0);
        CHECK_EQ(f.line->baud, r.wantBaud);
        CHECK_EQ(f.line->parity, r.wantParity);
        CHECK_EQ(f.line->dataBits, r.wantData);
        CHECK_EQ(f.line->stopBits, r.wantStop);
        CHECK_EQ(err.contains("WARNING Unknown baud rate 56000 for fake (B9600 used)\n"), r.baud == 56000);
        CHECK(out.contains("Opening fake at " + std::to_string(r.baud) + " bauds (" + r.parity));
        modbus_close(f.ctx);
        CHECK_EQ(f.line->restores, 1);
        CHECK(!f.line->opened);
    }
    Fixture f;
    f.line->configureErrno = EINVAL;
    CHECK_EQ(modbus_connect(f.ctx), -1);
    CHECK_EQ(errno, EINVAL);
    CHECK(!f.line->opened); // a port that cannot be set up is not left open
}

TEST_CASE(oneRegisterReadFramesAndCapturesInDebugMode)
{
    Fixture f;
    modbus_connect(f.ctx);
    modbus_set_debug(f.ctx, 1);
    f.answer({0x01, 0x03, 0x02, 0x00, 0xFA, 0x38, 0x07});
    uint16_t value = 0;
    OutputCapture out(stdout);
    CHECK_EQ(modbus_read_registers(f.ctx, 100, 1, &value), 1);
    CHECK_EQ(value, 250);
    CHECK_EQ(out.text(), std::string("[01][03][00][64][00][01][C5][D5]\nWaiting for a confirmation...\n"
                                     "<01><03><02><00><FA><38><07>\n"));
    uint8_t buf[MODBUS_CAPTURE_SIZE];
    int length = 0;
    CHECK_EQ(modbus_get_last_request(f.ctx, buf, &length), 0);
    CHECK(Bytes(buf, buf + length) == Bytes({0x01, 0x03, 0x00, 0x64, 0x00, 0x01, 0xC5, 0xD5}));
    modbus_get_last_response(f.ctx, buf, &length);
    CHECK(Bytes(buf, buf + length) == Bytes({0x01, 0x03, 0x02, 0x00, 0xFA, 0x38, 0x07}));
}

TEST_CASE(capturesNeverGoPastTheirSixtyBytes)
{
    Fixture f;
    modbus_connect(f.ctx);
    modbus_set_debug(f.ctx, 1);
    Bytes rsp = {0x01, 0x03, 250};
    for (int i = 0; i < 250; ++i)
        rsp.push_back(uint8_t(i));
    f.answer(withCrc(rsp));
    uint16_t regs[125];
    OutputCapture out(stdout);
    CHECK_EQ(modbus_read_registers(f.ctx, 0, 125, regs), 125);
    CHECK_EQ(regs[124], 0xF8F9);
    uint8_t buf[MODBUS_CAPTURE_SIZE + 4];
    std::memset(buf, 0xEE, sizeof buf);
    int length = 0;
    modbus_get_last_response(f.ctx, buf, &length);
    CHECK_EQ(length, 255);
    CHECK_EQ(buf[59], 56);
    CHECK_EQ(buf[60], 0xEE);

    f.answer(withCrc({0x01, 0x10, 0x00, 0x00, 0x00, 123}));
    CHECK_EQ(modbus_write_registers(f.ctx, 0, 123, regs), 123);
    std::memset(buf, 0xEE, sizeof buf);
    modbus_get_last_request(f.ctx, buf, &length);
    CHECK_EQ(length, 255);
    CHECK_EQ(buf[60], 0xEE);
}

TEST_CASE(requestsThatMustNotGoOutSendNothing)
{
    Fixture unset(-1);
    modbus_connect(unset.ctx);
    uint16_t regs[130] = {};
    uint8_t bits[2100] = {};
    errno = 0;
    CHECK_EQ(modbus_read_registers(unset.ctx, 0, 1, regs), -1);
    CHECK_EQ(errno, EINVAL);
    CHECK_EQ(modbus_write_register(unset.ctx, 0, 1), -1);
    CHECK(unset.line->sent.empty());

    Fixture f;
    modbus_connect(f.ctx);
    modbus_set_debug(f.ctx, 1);
    OutputCapture err(stderr);
    struct Row { int rc; const char *text; };
    const Row rows[] = {
        {modbus_read_registers(f.ctx, 0, 126, regs), "ERROR Too many registers requested (126 > 125)\n"},
        {modbus_read_input_registers(f.ctx, 0, 126, regs), "ERROR Too many input registers requested (126 > 125)\n"},
        {modbus_read_bits(f.ctx, 0, 2001, bits), "ERROR Too many bits requested (2001 > 2000)\n"},
        {modbus_read_input_bits(f.ctx, 0, 2001, bits), "ERROR Too many discrete inputs requested (2001 > 2000)\n"},
        {modbus_write_bits(f.ctx, 0, 1969, bits), "ERROR Writing too many bits (1969 > 1968)\n"},
        {modbus_write_registers(f.ctx, 0, 124, regs), "ERROR Trying to write to too many registers (124 > 123)\n"},
    };
    for (const Row &r : rows) {
        CHECK_EQ(r.rc, -1);
        CHECK(err.contains(r.text));
    }
    CHECK_EQ(errno, MODBUS_ERR_TOO_MANY_DATA);
    CHECK_EQ(modbus_read_registers(f.ctx, 0, 0, regs), -1);
    CHECK_EQ(modbus_read_registers(f.ctx, 0, 1, nullptr), -1);
    CHECK(f.line->sent.empty());
}

TEST_CASE(exceptionAnswersBecomeErrorNumbersWithTheirTexts)
{
    const char *texts[] = {"Illegal function", "Illegal data address", "Illegal data value",
                           "Slave device or server failure", "Acknowledge", "Slave device or server is busy",
                           "Negative acknowledge", "Memory parity error", nullptr, "Gateway path unavailable",
                           "Target device failed to respond"};
    Fixture f;
    modbus_connect(f.ctx);
    uint16_t v;
    for (int code = 0; code <= 12; ++code) {
        f.answer(withCrc({0x01, 0x83, uint8_t(code)}));
        CHECK_EQ(modbus_read_registers(f.ctx, 100, 1, &v), -1);
        const bool known = code >= 1 && code <= 11;
        CHECK_EQ(errno, known ? MODBUS_ERR_BASE + code : MODBUS_ERR_BAD_EXCEPTION);
        if (known && texts[code - 1])
            CHECK_EQ(std::string(modbus_strerror(errno)), texts[code - 1]);
    }
    f.answer(withCrc({0x01, 0x84, 0x02})); // an exception for another function
    CHECK_EQ(modbus_read_registers(f.ctx, 100, 1, &v), -1);
    CHECK_EQ(errno, MODBUS_ERR_BAD_EXCEPTION);
    f.answer(withCrc({0x01, 0x90, 0x04}));
    CHECK_EQ(modbus_write_registers(f.ctx, 1, 1, &v), -1);
    CHECK_EQ(errno, MODBUS_ERR_SLAVE_FAILURE);
    CHECK_EQ(std::string(modbus_strerror(MODBUS_ERR_BAD_SLAVE)), "Response not from requested slave");
    CHECK_EQ(std::string(modbus_strerror(MODBUS_ERR_BAD_CRC)), "Invalid CRC");
    CHECK_EQ(std::string(modbus_strerror(EINVAL)), std::string(std::strerror(EINVAL)));
}

TEST_CASE(answersThatDoNotFitTheRequestFail)
{
    Fixture f;
    modbus_connect(f.ctx);
    modbus_set_debug(f.ctx, 1);
    uint16_t v = 0;
    OutputCapture out(stdout), err(stderr);
    struct Row { Bytes rsp; int err; const char *print; };
    Bytes badCrc = withCrc({0x01, 0x03, 0x02, 0x00, 0x07});
    badCrc.back() ^= 0x01;
    const Row rows[] = {
        {withCrc({0x07, 0x03, 0x02, 0x00, 0x07}), MODBUS_ERR_BAD_SLAVE, "The responding slave 7 isn't the requested slave 1"},
        {withCrc({0x01, 0x04, 0x02, 0x00, 0x07}), MODBUS_ERR_BAD_DATA, "Received function not corresponding to the request (0x4 != 0x3)"},
        {withCrc({0x01, 0x03, 0x04, 0, 7, 0, 8}), MODBUS_ERR_BAD_DATA, "Message length not corresponding to the computed length (9 != 7)"},
        {badCrc, MODBUS_ERR_BAD_CRC, "ERROR CRC received 0xF987 != CRC calculated 0xF986"},
    };
    for (const Row &r : rows) {
        f.answer(r.rsp);
        CHECK_EQ(modbus_read_registers(f.ctx, 0, 1, &v), -1);
        CHECK_EQ(errno, r.err);
        CHECK(out.contains(r.print) || err.contains(r.print));
    }
    f.answer(withCrc({0x01, 0x10, 0x00, 0x01, 0x00, 0x02}));
    uint16_t three[3] = {1, 2, 3};
    CHECK_EQ(modbus_write_registers(f.ctx, 1, 3, three), -1);
    CHECK(err.contains("Quantity not corresponding to the request (2 != 3)"));
    // A byte count that would make the frame longer than any RTU frame.
    f.answer({0x01, 0x03, 0xFF});
    CHECK_EQ(modbus_read_registers(f.ctx, 0, 1, &v), -1);
    CHECK(err.contains("ERROR Invalid data: too many data"));
    // A failed request leaves the context usable at once.
    f.answer(withCrc({0x01, 0x03, 0x02, 0x12, 0x34}));
    CHECK_EQ(modbus_read_registers(f.ctx, 0, 1, &v), 1);
    CHECK_EQ(v, 0x1234);
}

TEST_CASE(broadcastTakesTheAnswerOfAnyModule)
{
    Fixture f(0);
    modbus_connect(f.ctx);
    f.answer(withCrc({0x05, 0x03, 0x02, 0x00, 0x2A}));
    uint16_t v = 0;
    CHECK_EQ(modbus_read_registers(f.ctx, 1, 1, &v), 1);
    CHECK_EQ(v, 42);
    CHECK_EQ(f.line->sent[0][0], 0x00);
}

TEST_CASE(receiveWaitsWithResponseThenByteTimeout)
{
    Fixture f;
    modbus_connect(f.ctx);
    modbus_set_response_timeout(f.ctx, 1, 250000);
    modbus_set_byte_timeout(f.ctx, 0, 20000);
    f.answer(withCrc({0x01, 0x03, 0x02, 0x00, 0x07}));
    f.line->chunk = 1;
    uint16_t v = 0;
    CHECK_EQ(modbus_read_registers(f.ctx, 0, 1, &v), 1);
    CHECK_EQ(v, 7);
    CHECK(f.line->readTimeouts == std::vector<int>({1250, 20, 20, 20, 20, 20, 20}));

    // Without a byte timeout every wait is a response timeout.
    modbus_set_byte_timeout(f.ctx, 0, 0);
    f.line->readTimeouts.clear();
    f.line->chunk = 512;
    CHECK_EQ(modbus_read_registers(f.ctx, 0, 1, &v), 1);
    CHECK(f.line->readTimeouts == std::vector<int>({1250, 1250, 1250}));

    // Silence, then a truncated answer: timed out; the length of the last
    // answer that did arrive stays.
    f.answer({});
    CHECK_EQ(modbus_read_registers(f.ctx, 0, 1, &v), -1);
    CHECK_EQ(errno, ETIMEDOUT);
    CHECK_EQ(modbus_get_last_response_length(f.ctx), 7);
    f.answer({0x01, 0x03, 0x02, 0x00});
    CHECK_EQ(modbus_read_registers(f.ctx, 0, 1, &v), -1);
    CHECK_EQ(errno, ETIMEDOUT);
    CHECK_EQ(modbus_get_last_response_length(f.ctx), 4);
}

TEST_CASE(staleInputIsDroppedBeforeEachRequest)
{
    Fixture f;
    modbus_connect(f.ctx);
    const Bytes late = withCrc({0x01, 0x03, 0x02, 0x0B, 0xAD});
    f.line->input.assign(late.begin(), late.end());
    f.answer(withCrc({0x01, 0x03, 0x02, 0x00, 0x01}));
    uint16_t v = 0;
    CHECK_EQ(modbus_read_registers(f.ctx, 0, 1, &v), 1);
    CHECK_EQ(v, 1);
}

TEST_CASE(rarelyUsedRequestsFrameAndDecode)
{
    Fixture f(3);
    modbus_connect(f.ctx);
    const uint16_t out[2] = {0x0102, 0x0304};
    uint16_t in[2] = {};
    f.answer(withCrc({0x03, 0x17, 0x04, 0xAA, 0xBB, 0xCC, 0xDD}));
    CHECK_EQ(modbus_write_and_read_registers(f.ctx, 0x10, 2, out, 0x20, 2, in), 2);
    CHECK(f.line->sent.back() == withCrc({0x03, 0x17, 0x00, 0x20, 0x00, 0x02, 0x00, 0x10, 0x00, 0x02, 0x04, 0x01,
                                          0x02, 0x03, 0x04}));
    CHECK(in[0] == 0xAABB && in[1] == 0xCCDD);

    f.answer(withCrc({0x03, 0x11, 0x03, 'K', 'T', 0xFF}));
    uint8_t id[2] = {};
    CHECK_EQ(modbus_report_slave_id(f.ctx, 2, id), 3);
    CHECK(id[0] == 'K' && id[1] == 'T');
    CHECK(f.line->sent.back() == withCrc({0x03, 0x11}));

    f.line->respond = [](const Bytes &req) { return req; };
    CHECK_EQ(modbus_mask_write_register(f.ctx, 4, 0xF2, 0x25), 1);
    CHECK(f.line->sent.back() == withCrc({0x03, 0x16, 0x00, 0x04, 0x00, 0xF2, 0x00, 0x25}));

    const uint8_t raw[] = {0x09, 0x03, 0x00, 0x01, 0x00, 0x01};
    f.answer(withCrc({0x09, 0x03, 0x02, 0x00, 0x05}));
    CHECK_EQ(modbus_send_raw_request(f.ctx, raw, 6), 8);
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    modbus_set_slave(f.ctx, 9);
    CHECK_EQ(modbus_receive_confirmation(f.ctx, rsp), 7);
    CHECK_EQ(modbus_send_raw_request(f.ctx, raw, 1), -1);
}

TEST_CASE(lineFailuresEndTheRequestAndRecoveryIsOptIn)
{
    Fixture f;
    modbus_connect(f.ctx);
    uint16_t v = 0;
    f.line->readErrno = ECONNRESET;
    f.answer(withCrc({0x01, 0x03, 0x02, 0x00, 0x01}));
    CHECK_EQ(modbus_read_registers(f.ctx, 0, 1, &v), -1);
    CHECK_EQ(errno, ECONNRESET);
    CHECK_EQ(f.line->readTimeouts.size(), size_t(1));
    f.line->readErrno = 0;

    f.line->writeFailures = 1;
    CHECK_EQ(modbus_write_register(f.ctx, 1, 1), -1);
    CHECK_EQ(errno, EPIPE);

    // Link recovery tries the write again; protocol recovery drops the input
    // after a bad frame.
    modbus_set_error_recovery(f.ctx, MODBUS_ERROR_RECOVERY_LINK | MODBUS_ERROR_RECOVERY_PROTOCOL);
    modbus_set_response_timeout(f.ctx, 0, 1000);
    f.line->writeFailures = 1;
    f.line->sent.clear();
    f.line->respond = [](const Bytes &req) { return req; };
    CHECK_EQ(modbus_write_register(f.ctx, 1, 1), 1);
    CHECK_EQ(f.line->sent.size(), size_t(1));
    Bytes bad = withCrc({0x01, 0x06, 0x00, 0x01, 0x00, 0x01});
    bad[5] ^= 0xFF;
    f.answer(bad);
    const int discards = f.line->discards;
    CHECK_EQ(modbus_write_register(f.ctx, 1, 1), -1);
    CHECK_EQ(errno, MODBUS_ERR_BAD_CRC);
    CHECK_EQ(f.line->discards, discards + 2); // before the request and after the bad frame
}

MINITEST_MAIN
