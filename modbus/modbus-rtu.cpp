// The RTU backend: the context on a serial line, framing with CRC-16, and
// the waiting and integrity checks of the receive path.
#include "modbus-private.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// The two tables of the Modbus serial line's CRC-16 (0xA001 reflected).
const uint8_t crcHiTable[256] = {
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0,
    0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0,
    0x80, 0x41, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0,
    0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0,
    0x80, 0x41, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1,
    0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0,
    0x80, 0x41, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40,
    0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x00, 0xC1,
    0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41, 0x01, 0xC0, 0x80, 0x41,
    0x00, 0xC1, 0x81, 0x40};

const uint8_t crcLoTable[256] = {
    0x00, 0xC0, 0xC1, 0x01, 0xC3, 0x03, 0x02, 0xC2, 0xC6, 0x06, 0x07, 0xC7, 0x05, 0xC5, 0xC4, 0x04, 0xCC, 0x0C,
    0x0D, 0xCD, 0x0F, 0xCF, 0xCE, 0x0E, 0x0A, 0xCA, 0xCB, 0x0B, 0xC9, 0x09, 0x08, 0xC8, 0xD8, 0x18, 0x19, 0xD9,
    0x1B, 0xDB, 0xDA, 0x1A, 0x1E, 0xDE, 0xDF, 0x1F, 0xDD, 0x1D, 0x1C, 0xDC, 0x14, 0xD4, 0xD5, 0x15, 0xD7, 0x17,
    0x16, 0xD6, 0xD2, 0x12, 0x13, 0xD3, 0x11, 0xD1, 0xD0, 0x10, 0xF0, 0x30, 0x31, 0xF1, 0x33, 0xF3, 0xF2, 0x32,
    0x36, 0xF6, 0xF7, 0x37, 0xF5, 0x35, 0x34, 0xF4, 0x3C, 0xFC, 0xFD, 0x3D, 0xFF, 0x3F, 0x3E, 0xFE, 0xFA, 0x3A,
    0x3B, 0xFB, 0x39, 0xF9, 0xF8, 0x38, 0x28, 0xE8, 0xE9, 0x29, 0xEB, 0x2B, 0x2A, 0xEA, 0xEE, 0x2E, 0x2F, 0xEF,
    0x2D, 0xED, 0xEC, 0x2C, 0xE4, 0x24, 0x25, 0xE5, 0x27, 0xE7, 0xE6, 0x26, 0x22, 0xE2, 0xE3, 0x23, 0xE1, 0x21,
    0x20, 0xE0, 0xA0, 0x60, 0x61, 0xA1, 0x63, 0xA3, 0xA2, 0x62, 0x66, 0xA6, 0xA7, 0x67, 0xA5, 0x65, 0x64, 0xA4,
    0x6C, 0xAC, 0xAD, 0x6D, 0xAF, 0x6F, 0x6E, 0xAE, 0xAA, 0x6A, 0x6B, 0xAB, 0x69, 0xA9, 0xA8, 0x68, 0x78, 0xB8,
    0xB9, 0x79, 0xBB, 0x7B, 0x7A, 0xBA, 0xBE, 0x7E, 0x7F, 0xBF, 0x7D, 0xBD, 0xBC, 0x7C, 0xB4, 0x74, 0x75, 0xB5,
    0x77, 0xB7, 0xB6, 0x76, 0x72, 0xB2, 0xB3, 0x73, 0xB1, 0x71, 0x70, 0xB0, 0x50, 0x90, 0x91, 0x51, 0x93, 0x53,
    0x52, 0x92, 0x96, 0x56, 0x57, 0x97, 0x55, 0x95, 0x94, 0x54, 0x9C, 0x5C, 0x5D, 0x9D, 0x5F, 0x9F, 0x9E, 0x5E,
    0x5A, 0x9A, 0x9B, 0x5B, 0x99, 0x59, 0x58, 0x98, 0x88, 0x48, 0x49, 0x89, 0x4B, 0x8B, 0x8A, 0x4A, 0x4E, 0x8E,
    0x8F, 0x4F, 0x8D, 0x4D, 0x4C, 0x8C, 0x44, 0x84, 0x85, 0x45, 0x87, 0x47, 0x46, 0x86, 0x82, 0x42, 0x43, 0x83,
    0x41, 0x81, 0x80, 0x40};

const int supportedBauds[] = {110,   300,    600,    1200,   2400,   4800,   9600,   14400,   19200, 38400,
                              56000, 57600, 115200, 230400, 250000, 460800, 500000, 921600, 1000000};

modbus_rtu *rtu(modbus_t *ctx) { return static_cast<modbus_rtu *>(ctx->backend_data); }

long long nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

long long inUs(const modbus_timeout &t) { return (long long)t.sec * 1000000 + t.usec; }

int rtuSetSlave(modbus_t *ctx, int slave)
{
    if (slave < 0 || slave > MODBUS_MAX_SLAVE_ADDRESS) {
        errno = EINVAL;
        return -1;
    }
    ctx->slave = slave;
    return 0;
}

int rtuBuildRequestBasis(modbus_t *ctx, int function, int addr, int nb, uint8_t *req)
{
    req[0] = uint8_t(ctx->slave);
    req[1] = uint8_t(function);
    modbus_put_u16(req + 2, addr);
    modbus_put_u16(req + 4, nb);
    return 6;
}

int rtuSendMsgPre(uint8_t *req, int req_length)
{
    const uint16_t crc = modbus_rtu_crc16(req, req_length);
    req[req_length++] = uint8_t(crc >> 8);
    req[req_length++] = uint8_t(crc & 0xFF);
    return req_length;
}

// Waits until the line has been quiet for as long as the next request
// needs: the silence between frames, or after a request that timed out a
// whole response timeout, so that a late answer to it is dropped here instead
// of taken for the next request's. What arrives meanwhile is dropped and
// starts the quiet over. A line that never falls quiet is given up on after
// one response timeout more, and the request goes out all the same.
int rtuWaitQuiet(modbus_t *ctx)
{
    modbus_rtu *d = rtu(ctx);
    d->rx_count = 0;
    const long long giveUp = nowUs() + d->quiet_needed_us + inUs(ctx->response_timeout);
    for (;;) {
        const long long now = nowUs();
        uint8_t dropped;
        const int n = d->line->read(&dropped, 1, std::max(0LL, d->quiet_since_us + d->quiet_needed_us - now));
        if (n < 0)
            return -1;
        if (n == 0 || now >= giveUp)
            break;
        // All that has come so far goes at once; the quiet starts over.
        if (d->line->discardInput() < 0)
            return -1;
        d->quiet_since_us = nowUs();
    }
    d->quiet_needed_us = d->silence_us;
    return 0;
}

int rtuSend(modbus_t *ctx, const uint8_t *req, int req_length)
{
    modbus_rtu *d = rtu(ctx);
    if (rtuWaitQuiet(ctx) < 0)
        return -1;
    const int rc = d->line->write(req, req_length);
    d->sent_until_us = nowUs() + serialLineTransmitUs(rc > 0 ? rc : 0, d->line_baud, d->char_bits);
    d->quiet_since_us = d->sent_until_us;
    return rc;
}

int rtuWaitSent(modbus_t *ctx)
{
    modbus_rtu *d = rtu(ctx);
    for (long long left; (left = d->sent_until_us - nowUs()) > 0;) {
        uint8_t dropped;
        const int n = d->line->read(&dropped, 1, left);
        if (n <= 0)
            return n;
        if (d->line->discardInput() < 0) // nobody may answer a broadcast: noise
            return -1;
    }
    return 0;
}

int rtuSelect(modbus_t *ctx, int wanted, const modbus_timeout *timeout)
{
    modbus_rtu *d = rtu(ctx);
    if (d->rx_count > 0)
        return 1;
    long long us = -1;
    if (timeout)
        us = inUs(*timeout) + std::max(0LL, d->sent_until_us - nowUs());
    const int max = wanted < MODBUS_RTU_RECEIVE_BUFFER ? wanted : MODBUS_RTU_RECEIVE_BUFFER;
    const int n = d->line->read(d->rx_buffer, max, us);
    if (n < 0)
        return -1;
    d->quiet_since_us = nowUs();
    if (n == 0) {
        // The answer may still come, after the next request has gone out.
        d->quiet_needed_us = inUs(ctx->response_timeout);
        errno = ETIMEDOUT;
        return -1;
    }
    d->rx_count = n;
    return 1;
}

int rtuRecv(modbus_t *ctx, uint8_t *rsp, int wanted)
{
    modbus_rtu *d = rtu(ctx);
    const int n = wanted < d->rx_count ? wanted : d->rx_count;
    std::memcpy(rsp, d->rx_buffer, size_t(n));
    d->rx_count -= n;
    if (d->rx_count > 0)
        std::memmove(d->rx_buffer, d->rx_buffer + n, size_t(d->rx_count));
    return n;
}

int rtuFlush(modbus_t *ctx)
{
    modbus_rtu *d = rtu(ctx);
    d->rx_count = 0;
    return d->line->discardInput();
}

int rtuCheckIntegrity(modbus_t *ctx, uint8_t *msg, int msg_length)
{
    const int slave = msg[0];
    // An answer to a broadcast is taken from whichever module gives it.
    if (ctx->slave != MODBUS_BROADCAST_ADDRESS && slave != ctx->slave && slave != MODBUS_BROADCAST_ADDRESS) {
        if (ctx->debug)
            std::printf("Request for slave %d ignored (not %d)\n", slave, ctx->slave);
        // The slave check of the confirmation reports this one.
        return 0;
    }
    const uint16_t calculated = modbus_rtu_crc16(msg, msg_length - 2);
    const uint16_t received = uint16_t((msg[msg_length - 2] << 8) | msg[msg_length - 1]);
    if (calculated == received)
        return msg_length;
    if (ctx->debug)
        std::fprintf(stderr, "ERROR CRC received 0x%0X != CRC calculated 0x%0X\n", received, calculated);
    if (ctx->error_recovery & MODBUS_ERROR_RECOVERY_PROTOCOL)
        rtuFlush(ctx);
    errno = MODBUS_ERR_BAD_CRC;
    return -1;
}

int rtuPreCheckConfirmation(modbus_t *ctx, const uint8_t *req, const uint8_t *rsp, int)
{
    if (req[0] != MODBUS_BROADCAST_ADDRESS && req[0] != rsp[0]) {
        if (ctx->debug)
            std::fprintf(stderr, "The responding slave %d isn't the requested slave %d\n", rsp[0], req[0]);
        errno = MODBUS_ERR_BAD_SLAVE;
        return -1;
    }
    return 0;
}

bool knownBaud(int baud)
{
    for (int b : supportedBauds)
        if (b == baud)
            return true;
    return false;
}

int rtuConnect(modbus_t *ctx)
{
    modbus_rtu *d = rtu(ctx);
    if (ctx->debug)
        std::printf("Opening %s at %d bauds (%c, %d, %d)\n", d->device, d->baud, d->parity, d->data_bit,
                    d->stop_bit);
    d->rx_count = 0;
    if (d->line->open(d->device) < 0) {
        if (ctx->debug)
            std::fprintf(stderr, "ERROR Can't open the device %s (LastError %ld)\n", d->device,
                         d->line->lastSystemError());
        return -1;
    }
    int baud = d->baud;
    if (!knownBaud(baud)) {
        baud = 9600;
        if (ctx->debug)
            std::fprintf(stderr, "WARNING Unknown baud rate %d for %s (B9600 used)\n", d->baud, d->device);
    }
    const int dataBits = d->data_bit >= 5 && d->data_bit <= 7 ? d->data_bit : 8;
    const int stopBits = d->stop_bit == 1 ? 1 : 2;
    const char parity = d->parity == 'N' ? 'N' : d->parity == 'E' ? 'E' : 'O';
    d->line_baud = baud;
    d->char_bits = serialLineCharBits(dataBits, parity, stopBits);
    d->silence_us = baud > 19200 ? 1750 : serialLineTransmitUs(7, baud, d->char_bits) / 2;
    // What was on the line before is unknown: one silence before the first request.
    d->quiet_since_us = nowUs();
    d->quiet_needed_us = d->silence_us;
    d->sent_until_us = 0;
    if (d->line->configure(baud, dataBits, parity, stopBits) < 0) {
        const int saved = errno;
        if (ctx->debug)
            std::fprintf(stderr, "ERROR Error setting new configuration (LastError %ld)\n",
                         d->line->lastSystemError());
        // A refused configuration may still have changed part of the line.
        d->line->restoreSettings();
        d->line->close();
        errno = saved;
        return -1;
    }
    return 0;
}

void rtuClose(modbus_t *ctx)
{
    modbus_rtu *d = rtu(ctx);
    d->rx_count = 0;
    if (!d->line->isOpen())
        return;
    if (d->line->restoreSettings() < 0 && ctx->debug)
        std::fprintf(stderr, "ERROR Couldn't revert to configuration (LastError %ld)\n", d->line->lastSystemError());
    if (d->line->close() < 0 && ctx->debug)
        std::fprintf(stderr, "ERROR Error while closing handle (LastError %ld)\n", d->line->lastSystemError());
}

void rtuFree(modbus_t *ctx)
{
    modbus_rtu *d = rtu(ctx);
    if (!d)
        return;
    delete[] d->device;
    delete d; // the line puts its settings back and closes if still open
    ctx->backend_data = nullptr;
}

const modbus_backend rtuBackend = {
    MODBUS_BACKEND_TYPE_RTU,
    MODBUS_RTU_HEADER_LENGTH,
    MODBUS_RTU_CHECKSUM_LENGTH,
    MODBUS_RTU_MAX_ADU_LENGTH,
    rtuSetSlave,
    rtuBuildRequestBasis,
    rtuSendMsgPre,
    rtuSend,
    rtuWaitSent,
    rtuSelect,
    rtuRecv,
    rtuCheckIntegrity,
    rtuPreCheckConfirmation,
    rtuConnect,
    rtuClose,
    rtuFlush,
    rtuFree,
};

} // namespace

uint16_t modbus_rtu_crc16(const uint8_t *buffer, int length)
{
    uint8_t hi = 0xFF;
    uint8_t lo = 0xFF;
    while (length-- > 0) {
        const unsigned i = hi ^ *buffer++;
        hi = lo ^ crcHiTable[i];
        lo = crcLoTable[i];
    }
    return uint16_t((hi << 8) | lo);
}

modbus_t *modbus_new_rtu(const char *device, int baud, char parity, int data_bit, int stop_bit)
{
    if (!device || *device == '\0') {
        std::fprintf(stderr, "The device string is empty\n");
        errno = EINVAL;
        return nullptr;
    }
    if (baud == 0) {
        std::fprintf(stderr, "The baud rate value must not be zero\n");
        errno = EINVAL;
        return nullptr;
    }
    modbus_t *ctx = new (std::nothrow) modbus_t();
    modbus_rtu *d = new (std::nothrow) modbus_rtu();
    const size_t size = std::strlen(device) + 1;
    char *name = new (std::nothrow) char[size];
    std::unique_ptr<SerialLine> line = createPlatformSerialLine();
    if (!ctx || !d || !name || !line) {
        delete ctx;
        delete d;
        delete[] name;
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(name, device, size);
    d->device = name;
    d->baud = baud;
    d->data_bit = uint8_t(data_bit);
    d->stop_bit = uint8_t(stop_bit);
    d->parity = parity;
    d->line = std::move(line);
    d->rx_count = 0;
    d->confirmation_to_ignore = 0;

    ctx->slave = -1;
    ctx->s = -1;
    ctx->debug = 0;
    ctx->capture = 0;
    ctx->error_recovery = MODBUS_ERROR_RECOVERY_NONE;
    ctx->response_timeout = {0, 500000};
    ctx->byte_timeout = {0, 500000};
    ctx->indication_timeout = {0, 0};
    ctx->backend = &rtuBackend;
    ctx->backend_data = d;
    ctx->last_request_length = 0;
    ctx->last_response_length = 0;

    if (parity != 'N' && parity != 'O' && parity != 'E') {
        modbus_free(ctx);
        errno = EINVAL;
        return nullptr;
    }
    return ctx;
}

void modbus_rtu_set_line(modbus_t *ctx, std::unique_ptr<SerialLine> line)
{
    if (ctx && line)
        rtu(ctx)->line = std::move(line);
}
