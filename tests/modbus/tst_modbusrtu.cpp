// The master's logic over an in-process line: framing, CRC, checks of the
// answer, error texts, and the line settings a pty cannot carry (even parity,
// flow control) down to what the platform line asks of a port. Capture
// bounds and malformed answers in bulk are the fuzz target's; real lines and
// timing the bus cases'.
#include "fakeline.h"
#include "minitest.h"
#ifdef _WIN32
#include "serialline-win32.h"
#else
#include "serialline-posix.h"
#endif

#include <thread>

using testcrc::Bytes;
using testcrc::withCrc;

// No context a request could divide by zero or send nonsense with.
TEST_CASE(creationAndSettersCheckTheirArguments)
{
    CHECK(!modbus_new_rtu("", 9600, 'N', 8, 1) && errno == EINVAL && !modbus_new_rtu("COM3", 0, 'N', 8, 1) && !modbus_new_rtu(nullptr, 9600, 'N', 8, 1));
    Context ctx(modbus_new_rtu("COM3", 9600, 'O', 8, 1));
    CHECK(modbus_set_slave(ctx.get(), 248) == -1 && modbus_set_slave(ctx.get(), 0) == 0 && modbus_set_slave(nullptr, 1) == -1);
    CHECK(modbus_set_response_timeout(ctx.get(), 0, 0) == -1 && modbus_set_response_timeout(ctx.get(), 0, 1000000) == -1);
}

// Even parity, which no pty carries, reaches the line.
TEST_CASE(connectAppliesTheLineSettingsOrLeavesThePortClosed)
{
    FakeBus even(1, true, 'E'), f(1, false);
    CHECK(even.line->opened && even.line->parity == 'E');
    f.line->configureErrno = EINVAL;
    // Neither left open nor left half configured.
    CHECK(modbus_connect(f.ctx.get()) == -1 && errno == EINVAL && !f.line->opened && f.line->restored == 1);
}

TEST_CASE(requestsThatMustNotGoOutSendNothing)
{
    FakeBus unset(-1), f;
    modbus_t *ctx = f.ctx.get();
    uint16_t regs[130] = {};
    uint8_t bits[2100] = {};
    CHECK(modbus_read_registers(unset.ctx.get(), 0, 1, regs) == -1 && errno == EINVAL);
    // Past the limits of one request, or past address 65535.
    const auto tooMany = [](int rc) { return rc == -1 && errno == MODBUS_ERR_TOO_MANY_DATA; };
    const auto refused = [](int rc) { return rc == -1 && errno == EINVAL; };
    CHECK(tooMany(modbus_read_registers(ctx, 0, 126, regs)) && tooMany(modbus_write_bits(ctx, 0, 1969, bits)));
    CHECK(refused(modbus_read_bits(ctx, -1, 1, bits)) && refused(modbus_read_input_registers(ctx, 65535, 2, regs)));
    CHECK(refused(modbus_write_register(ctx, 65536, 1)) && refused(modbus_write_bits(ctx, 65535, 2, bits)));
    CHECK(unset.line->sent.empty() && f.line->sent.empty());
    CHECK(modbus_read_registers(ctx, 65535, 1, regs) == -1 && errno == ETIMEDOUT); // the last one goes out
    CHECK(f.line->sent.size() == 1 && f.line->sent[0][2] == 0xFF && f.line->sent[0][3] == 0xFF);
}

TEST_CASE(answersThatDoNotFitTheRequestFail)
{
    FakeBus f;
    uint16_t v[3] = {1, 2, 3};
    Bytes badCrc = withCrc({0x01, 0x03, 0x02, 0x00, 0x07});
    badCrc.back() ^= 0x01;
    const struct { int nb; Bytes rsp; int err; } rows[] = {
        {1, withCrc({0x07, 0x03, 0x02, 0x00, 0x07}), MODBUS_ERR_BAD_SLAVE}, {1, withCrc({0x01, 0x04, 0x02, 0x00, 0x07}), MODBUS_ERR_BAD_DATA},
        {1, withCrc({0x01, 0x03, 0x04, 0, 7, 0, 8}), MODBUS_ERR_BAD_DATA}, {1, badCrc, MODBUS_ERR_BAD_CRC},
        {1, {0x01, 0x03, 0xFF}, MODBUS_ERR_BAD_DATA}, // longer than any frame
        {3, withCrc({0x01, 0x10, 0x00, 0x01, 0x00, 0x02}), MODBUS_ERR_BAD_DATA}, // quantity 2, not 3
        // Exceptions: codes 1..11 map onto their numbers, any other code or
        // an exception to another function is a bad exception.
        {1, withCrc({0x01, 0x83, 0x0B}), MODBUS_ERR_GATEWAY_TARGET}, {3, withCrc({0x01, 0x90, 0x04}), MODBUS_ERR_SLAVE_FAILURE},
        {1, withCrc({0x01, 0x83, 0x00}), MODBUS_ERR_BAD_EXCEPTION}, {1, withCrc({0x01, 0x83, 0x0C}), MODBUS_ERR_BAD_EXCEPTION},
        {1, withCrc({0x01, 0x84, 0x02}), MODBUS_ERR_BAD_EXCEPTION}};
    for (const auto &r : rows) {
        f.line->reply = r.rsp;
        const int rc = r.nb == 1 ? modbus_read_registers(f.ctx.get(), 0, 1, v) : modbus_write_registers(f.ctx.get(), 1, 3, v);
        CHECK(rc == -1 && errno == r.err);
    }
}

TEST_CASE(broadcastWritesEndOnceSentWhileReadsWait)
{
    FakeBus f(0);
    modbus_t *ctx = f.ctx.get();
    const uint16_t regs[3] = {1, 2, 3};
    // Nobody answers a broadcast write: waiting could only end in a false failure.
    CHECK(modbus_write_register(ctx, 2, 3) == 1 && modbus_write_registers(ctx, 400, 3, regs) == 3);
    CHECK(f.line->sent.size() == 2 && f.line->sent.back()[0] == 0);
    // Our modules answer a broadcast read with their own address.
    uint16_t v = 0;
    f.line->reply = withCrc({0x05, 0x03, 0x02, 0x00, 0x2A});
    CHECK(modbus_read_registers(ctx, 1, 1, &v) == 1 && v == 42);
}

TEST_CASE(writeAnswersMustEchoTheRequest)
{
    FakeBus f;
    modbus_t *ctx = f.ctx.get();
    const uint16_t regs[2] = {7, 8};
    const struct { std::function<int()> write; Bytes echo, other; } rows[] = {
        {[&] { return modbus_write_bit(ctx, 5, 1); }, {1, 5, 0, 5, 0xFF, 0}, {1, 5, 0, 5, 0, 0}},
        {[&] { return modbus_write_registers(ctx, 400, 2, regs); }, {1, 0x10, 1, 0x90, 0, 2}, {1, 0x10, 0, 0x90, 0, 2}}};
    for (const auto &r : rows) {
        f.line->reply = withCrc(r.echo);
        CHECK(r.write() > 0);
        f.line->reply = withCrc(r.other);
        CHECK(r.write() == -1 && errno == MODBUS_ERR_BAD_DATA);
    }
}

TEST_CASE(linkRecoveryEndsWhenThePortCannotBeReopened)
{
    FakeBus f;
    modbus_t *ctx = f.ctx.get();
    modbus_set_error_recovery(ctx, MODBUS_ERROR_RECOVERY_LINK);
    modbus_set_response_timeout(ctx, 0, 10000);
    f.line->reply = withCrc({0x01, 0x06, 0x00, 0x02, 0x00, 0x03});
    f.line->writeErrno = ECONNRESET; // unplugged
    f.line->openErrno = ENOENT;
    CHECK(modbus_write_register(ctx, 2, 3) == -1 && errno == ECONNRESET && f.line->opens == 2);
    f.line->writeErrno = f.line->openErrno = 0; // plugged back in: reopened, sent once more
    CHECK(modbus_write_register(ctx, 2, 3) == 1 && f.line->opens == 3);
}

TEST_CASE(errorTextsOnEveryThread)
{
    // The ends of the table.
    CHECK_EQ(std::string(modbus_strerror(MODBUS_ERR_BASE + 1)), "Illegal function");
    CHECK_EQ(std::string(modbus_strerror(MODBUS_ERR_BASE + 17)), "Response not from requested slave");
    // Numbers the system does not know get a text made for them, which
    // another thread asking for another leaves alone.
    const char *mine = modbus_strerror(654321);
    const std::string before = mine;
    std::thread([] { modbus_strerror(123456); }).join();
    CHECK(!before.empty() && before == mine);
}

// What configure() asks of a real port, setting by setting: a pty keeps no
// parity bit, and the simulator cannot tell even from none.
#ifdef _WIN32
TEST_CASE(win32LineSetsItsFramingAndNoFlowControl)
{
    DCB left = {}; // as another program may leave a port: handshakes, XON/XOFF, null stripping
    left.DCBlength = sizeof left;
    left.fOutxCtsFlow = left.fOutxDsrFlow = left.fDsrSensitivity = left.fOutX = left.fInX = left.fNull = left.fErrorChar =
        left.fAbortOnError = TRUE;
    left.fDtrControl = DTR_CONTROL_HANDSHAKE;
    left.fRtsControl = RTS_CONTROL_HANDSHAKE;
    // Odd parity and the stop bits the bus cases see under wine; even they cannot.
    const DCB d = serialLineDcb(left, 56000, 7, 'E', 2);
    CHECK(d.BaudRate == 56000 && d.ByteSize == 7 && d.StopBits == TWOSTOPBITS && d.fParity && d.Parity == EVENPARITY);
    CHECK(d.fBinary && d.fTXContinueOnXoff && !d.fOutxCtsFlow && !d.fOutxDsrFlow && !d.fDsrSensitivity && !d.fOutX && !d.fInX);
    CHECK(d.fDtrControl == DTR_CONTROL_ENABLE && d.fRtsControl == RTS_CONTROL_ENABLE && !d.fNull && !d.fErrorChar && !d.fAbortOnError);
    left.fRtsControl = RTS_CONTROL_TOGGLE; // some RS-485 adapters' direction control
    CHECK_EQ(serialLineDcb(left, 9600, 8, 'N', 1).fRtsControl, DWORD(RTS_CONTROL_TOGGLE));
    // A write may take its time on the wire, and a second more.
    CHECK_EQ(serialLineWriteTimeoutMs(serialLineDcb(left, 1200, 8, 'N', 1), 255), DWORD(3125));
    CHECK_EQ(serialLineWriteTimeoutMs(serialLineDcb(left, 115200, 8, 'E', 1), 8), DWORD(1001));
    // An adapter pulled out gives one of these, however the driver puts it.
    const struct { DWORD error; bool opened; int err; } rows[] = {{ERROR_ACCESS_DENIED, false, EBUSY},
        {ERROR_ACCESS_DENIED, true, ECONNRESET}, {ERROR_BAD_COMMAND, true, ECONNRESET}, {ERROR_DEVICE_REMOVED, true, ECONNRESET},
        {ERROR_GEN_FAILURE, true, ECONNRESET}, {ERROR_OPERATION_ABORTED, true, ECONNRESET}, {ERROR_INVALID_HANDLE, true, EBADF}};
    for (const auto &r : rows)
        CHECK_EQ(serialLineErrno(r.error, r.opened), r.err);
}
#else
TEST_CASE(posixLineSetsItsFramingAndNoFlowControl)
{
    // Raw mode the bus cases see on a pty; the rest a pty ignores.
    termios on{}, off{}; // every flag on, or every flag off, as a port may be left
    on.c_iflag = on.c_oflag = on.c_cflag = on.c_lflag = ~tcflag_t(0);
    for (const termios &left : {on, off}) {
        const termios n = serialLineTermios(left, 19200, 7, 'N', 1), e = serialLineTermios(left, 19200, 7, 'E', 1);
        CHECK((e.c_cflag & (CLOCAL | CREAD | CRTSCTS | CSIZE | PARENB | PARODD)) == (CLOCAL | CREAD | CS7 | PARENB) && (e.c_iflag & INPCK));
        CHECK(!(n.c_cflag & PARENB) && !(n.c_iflag & INPCK));
    }
}
#endif

MINITEST_MAIN
