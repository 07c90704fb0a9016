// The context's settings and the master's requests: build, send, receive,
// check against the request, decode.
#include "modbus-private.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace {

const int lengthUndefined = -1;

void sleepFor(const modbus_timeout &t)
{
#ifdef _WIN32
    Sleep(DWORD(t.sec) * 1000 + DWORD(t.usec) / 1000);
#else
    timespec request{t.sec, long(t.usec) * 1000};
    timespec remaining{};
    while (nanosleep(&request, &remaining) == -1 && errno == EINTR)
        request = remaining;
#endif
}

// What protocol recovery does after a response that does not fit the request.
void recoverFromProtocolError(modbus_t *ctx)
{
    if (!(ctx->error_recovery & MODBUS_ERROR_RECOVERY_PROTOCOL))
        return;
    const int saved = errno;
    sleepFor(ctx->response_timeout);
    ctx->backend->flush(ctx);
    errno = saved;
}

int byteCount(int bits) { return bits / 8 + (bits % 8 ? 1 : 0); }

// A request names a device that must exist: a context whose slave was never
// set would otherwise send to address 0xFF.
bool readyForRequest(modbus_t *ctx)
{
    if (!ctx || ctx->slave < 0) {
        errno = EINVAL;
        return false;
    }
    return true;
}

int sendMsg(modbus_t *ctx, uint8_t *req, int reqLength)
{
    reqLength = ctx->backend->send_msg_pre(req, reqLength);
    if (ctx->debug || ctx->capture) {
        std::memcpy(ctx->last_request, req, size_t(reqLength < MODBUS_CAPTURE_SIZE ? reqLength : MODBUS_CAPTURE_SIZE));
        ctx->last_request_length = reqLength;
    }
    if (ctx->debug) {
        for (int i = 0; i < reqLength; ++i)
            std::printf("[%.2X]", req[i]);
        std::printf("\n");
    }
    int rc = ctx->backend->send(ctx, req, reqLength);
    if (rc == -1) {
        modbus_error_print(ctx, nullptr);
        // Link recovery: reopen the port and send once more. A port that
        // cannot be reopened ends it, with the line's own error.
        if (ctx->error_recovery & MODBUS_ERROR_RECOVERY_LINK) {
            const int saved = errno;
            sleepFor(ctx->response_timeout);
            if (saved == EBADF || saved == ECONNRESET || saved == EPIPE) {
                ctx->backend->close(ctx);
                if (ctx->backend->connect(ctx) == -1) {
                    errno = saved;
                    return -1;
                }
            }
            rc = ctx->backend->send(ctx, req, reqLength);
            if (rc == -1)
                modbus_error_print(ctx, nullptr);
        }
    }
    if (rc >= 0 && rc != reqLength) {
        errno = MODBUS_ERR_BAD_DATA;
        return -1;
    }
    return rc;
}

// The part of a write request its answer repeats, after the function code.
int echoLength(int function)
{
    switch (function) {
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        return 4;
    case MODBUS_FC_MASK_WRITE_REGISTER:
        return 6;
    default:
        return 0;
    }
}

int metaLengthAfterFunction(int function)
{
    const int echoed = echoLength(function);
    return echoed > 0 ? echoed : 1; // else the byte count of a read, or the exception code
}

// Address and value (or masks) of a write as one number, for the debug print.
unsigned long echoValue(const uint8_t *p, int length)
{
    unsigned long v = 0;
    for (int i = 2; i < length; ++i)
        v = v << 8 | p[i];
    return v;
}

int dataLengthAfterMeta(modbus_t *ctx, const uint8_t *msg)
{
    const int function = msg[ctx->backend->header_length];
    int length = 0;
    if (function <= MODBUS_FC_READ_INPUT_REGISTERS || function == MODBUS_FC_REPORT_SLAVE_ID
        || function == MODBUS_FC_WRITE_AND_READ_REGISTERS)
        length = msg[ctx->backend->header_length + 1];
    return length + int(ctx->backend->checksum_length);
}

// Reads one response frame, length by length as its own header announces it.
int receiveConfirmation(modbus_t *ctx, uint8_t *msg)
{
    enum { StepFunction, StepMeta, StepData } step = StepFunction;
    const modbus_backend *b = ctx->backend;
    if (ctx->debug)
        std::printf("Waiting for a confirmation...\n");

    int lengthToRead = int(b->header_length) + 1;
    int msgLength = 0;
    bool glitchSkipped = false;
    const modbus_timeout *timeout = &ctx->response_timeout;
    while (lengthToRead != 0) {
        if (b->select(ctx, lengthToRead, timeout) == -1) {
            modbus_error_print(ctx, "select");
            return -1;
        }
        int rc = b->recv(ctx, msg + msgLength, lengthToRead);
        if (rc == 0) {
            errno = ECONNRESET;
            rc = -1;
        }
        if (rc == -1) {
            modbus_error_print(ctx, "read");
            return -1;
        }
        // A transceiver turning around may leave one 0x00 or 0xFF on the line
        // before the answer; no module answers from either address.
        if (msgLength == 0 && !glitchSkipped && (msg[0] == 0x00 || msg[0] == 0xFF)) {
            glitchSkipped = true;
            std::memmove(msg, msg + 1, size_t(--rc));
        }
        for (int i = 0; i < rc; ++i) {
            if (ctx->debug)
                std::printf("<%.2X>", msg[msgLength + i]);
            if ((ctx->debug || ctx->capture) && msgLength + i < MODBUS_CAPTURE_SIZE)
                ctx->last_response[msgLength + i] = msg[msgLength + i];
        }
        msgLength += rc;
        ctx->last_response_length = msgLength;
        lengthToRead -= rc;

        if (lengthToRead == 0) {
            switch (step) {
            case StepFunction:
                lengthToRead = metaLengthAfterFunction(msg[b->header_length]);
                if (lengthToRead != 0) {
                    step = StepMeta;
                    break;
                }
                [[fallthrough]];
            case StepMeta:
                lengthToRead = dataLengthAfterMeta(ctx, msg);
                if (msgLength + lengthToRead > int(b->max_adu_length)) {
                    errno = MODBUS_ERR_BAD_DATA;
                    modbus_error_print(ctx, "too many data");
                    return -1;
                }
                step = StepData;
                break;
            case StepData:
                break;
            }
        }
        // Not after a lone glitch byte: the module may still be working on its answer.
        if (lengthToRead > 0 && msgLength > 0 && (ctx->byte_timeout.sec > 0 || ctx->byte_timeout.usec > 0))
            timeout = &ctx->byte_timeout;
    }
    if (ctx->debug)
        std::printf("\n");
    return b->check_integrity(ctx, msg, msgLength);
}

int responseLengthFromRequest(modbus_t *ctx, const uint8_t *req)
{
    const int offset = int(ctx->backend->header_length);
    int length;
    switch (req[offset]) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
        length = 2 + byteCount(modbus_get_u16(req + offset + 3));
        break;
    case MODBUS_FC_WRITE_AND_READ_REGISTERS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
        length = 2 + 2 * modbus_get_u16(req + offset + 3);
        break;
    case MODBUS_FC_READ_EXCEPTION_STATUS:
        length = 3;
        break;
    case MODBUS_FC_REPORT_SLAVE_ID:
        return lengthUndefined;
    case MODBUS_FC_MASK_WRITE_REGISTER:
        length = 7;
        break;
    default:
        length = 5;
    }
    return offset + length + int(ctx->backend->checksum_length);
}

// Returns the quantity the response carries, or -1.
int checkConfirmation(modbus_t *ctx, const uint8_t *req, const uint8_t *rsp, int rspLength)
{
    const int offset = int(ctx->backend->header_length);
    const int function = rsp[offset];

    if (ctx->backend->pre_check_confirmation(ctx, req, rsp, rspLength) == -1) {
        recoverFromProtocolError(ctx);
        return -1;
    }

    if (function >= 0x80) {
        const int exceptionLength = offset + 2 + int(ctx->backend->checksum_length);
        if (rspLength == exceptionLength && function == req[offset] + 0x80) {
            const int code = rsp[offset + 1];
            // Code 0 is no exception at all.
            errno = code >= 1 && code <= MODBUS_EXCEPTION_MAX ? MODBUS_ERR_BASE + code : MODBUS_ERR_BAD_EXCEPTION;
        } else {
            errno = MODBUS_ERR_BAD_EXCEPTION;
        }
        modbus_error_print(ctx, nullptr);
        return -1;
    }

    const int computed = responseLengthFromRequest(ctx, req);
    if (computed != lengthUndefined && rspLength != computed) {
        if (ctx->debug)
            std::fprintf(stderr, "Message length not corresponding to the computed length (%d != %d)\n", rspLength,
                         computed);
        errno = MODBUS_ERR_BAD_DATA;
        recoverFromProtocolError(ctx);
        return -1;
    }

    if (function != req[offset]) {
        if (ctx->debug)
            std::fprintf(stderr, "Received function not corresponding to the request (0x%X != 0x%X)\n", function,
                         req[offset]);
        errno = MODBUS_ERR_BAD_DATA;
        recoverFromProtocolError(ctx);
        return -1;
    }

    int reqNb;
    int rspNb;
    switch (function) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
        reqNb = byteCount(modbus_get_u16(req + offset + 3));
        rspNb = rsp[offset + 1];
        break;
    case MODBUS_FC_WRITE_AND_READ_REGISTERS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
        reqNb = modbus_get_u16(req + offset + 3);
        rspNb = rsp[offset + 1] / 2;
        break;
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        reqNb = modbus_get_u16(req + offset + 3);
        rspNb = modbus_get_u16(rsp + offset + 3);
        break;
    case MODBUS_FC_REPORT_SLAVE_ID:
        reqNb = rspNb = rsp[offset + 1];
        break;
    default:
        reqNb = rspNb = 1;
    }
    if (reqNb != rspNb) {
        if (ctx->debug)
            std::fprintf(stderr, "Quantity not corresponding to the request (%d != %d)\n", rspNb, reqNb);
        errno = MODBUS_ERR_BAD_DATA;
        recoverFromProtocolError(ctx);
        return -1;
    }
    // A write is answered with its own address and value, quantity or masks.
    const int echoed = echoLength(function);
    if (echoed > 0 && std::memcmp(req + offset + 1, rsp + offset + 1, size_t(echoed)) != 0) {
        if (ctx->debug)
            std::fprintf(stderr, "Echo not corresponding to the request (%d: 0x%lX != %d: 0x%lX)\n",
                         modbus_get_u16(rsp + offset + 1), echoValue(rsp + offset + 1, echoed),
                         modbus_get_u16(req + offset + 1), echoValue(req + offset + 1, echoed));
        errno = MODBUS_ERR_BAD_DATA;
        recoverFromProtocolError(ctx);
        return -1;
    }
    return rspNb;
}

// One whole exchange: send the request, take and check the answer.
int exchange(modbus_t *ctx, uint8_t *req, int reqLength, uint8_t *rsp)
{
    const int sent = sendMsg(ctx, req, reqLength);
    if (sent <= 0)
        return sent;
    // Nobody answers a broadcast write: once it has left, it is done.
    const int function = req[ctx->backend->header_length];
    if (ctx->slave == MODBUS_BROADCAST_ADDRESS && echoLength(function) > 0) {
        if (ctx->backend->wait_sent(ctx) == -1)
            return -1;
        const bool multiple =
            function == MODBUS_FC_WRITE_MULTIPLE_COILS || function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
        return multiple ? modbus_get_u16(req + ctx->backend->header_length + 3) : 1;
    }
    const int received = receiveConfirmation(ctx, rsp);
    if (received == -1)
        return -1;
    return checkConfirmation(ctx, req, rsp, received);
}

// Addresses are 16 bits: a block may end at 65535 at the latest. Anything
// else would go out cut to 16 bits, to another address.
bool outsideAddresses(int addr, int nb)
{
    if (addr >= 0 && addr <= 0xFFFF && nb <= 0x10000 - addr)
        return false;
    errno = EINVAL;
    return true;
}

bool tooMany(modbus_t *ctx, int nb, int limit, const char *format)
{
    if (nb <= limit)
        return false;
    if (ctx->debug)
        std::fprintf(stderr, format, nb, limit);
    errno = MODBUS_ERR_TOO_MANY_DATA;
    return true;
}

// What every read shares: the checks, then one exchange. The answer's data
// starts at the returned pointer, or the result is null.
const uint8_t *readRequest(modbus_t *ctx, int function, int addr, int nb, const void *dest, int limit,
                           const char *tooManyFormat, uint8_t *rsp, int *rc)
{
    if (!ctx || !dest || nb < 1) {
        errno = EINVAL;
        return nullptr;
    }
    if (tooMany(ctx, nb, limit, tooManyFormat) || outsideAddresses(addr, nb) || !readyForRequest(ctx))
        return nullptr;
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    const int reqLength = ctx->backend->build_request_basis(ctx, function, addr, nb, req);
    *rc = exchange(ctx, req, reqLength, rsp);
    return *rc == -1 ? nullptr : rsp + ctx->backend->header_length + 2;
}

int readBits(modbus_t *ctx, int function, int addr, int nb, uint8_t *dest, const char *tooManyFormat)
{
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    int rc = -1;
    const uint8_t *data = readRequest(ctx, function, addr, nb, dest, MODBUS_MAX_READ_BITS, tooManyFormat, rsp, &rc);
    if (!data)
        return -1;
    modbus_unpack_bits(dest, data, nb);
    return nb;
}

int readRegisters(modbus_t *ctx, int function, int addr, int nb, uint16_t *dest, const char *tooManyFormat)
{
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    int rc = -1;
    const uint8_t *data =
        readRequest(ctx, function, addr, nb, dest, MODBUS_MAX_READ_REGISTERS, tooManyFormat, rsp, &rc);
    if (!data)
        return -1;
    for (int i = 0; i < rc; ++i)
        dest[i] = uint16_t(modbus_get_u16(data + 2 * i));
    return rc;
}

int writeSingle(modbus_t *ctx, int function, int addr, int value)
{
    if (outsideAddresses(addr, 1) || !readyForRequest(ctx))
        return -1;
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    const int reqLength = ctx->backend->build_request_basis(ctx, function, addr, value, req);
    return exchange(ctx, req, reqLength, rsp);
}

bool validTimeout(uint32_t sec, uint32_t usec, bool zeroAllowed)
{
    if (usec > 999999 || sec > uint32_t(INT32_MAX))
        return false;
    return zeroAllowed || sec != 0 || usec != 0;
}

int getTimeout(modbus_t *ctx, const modbus_timeout modbus::*which, uint32_t *sec, uint32_t *usec)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    if (sec)
        *sec = uint32_t((ctx->*which).sec);
    if (usec)
        *usec = uint32_t((ctx->*which).usec);
    return 0;
}

int setTimeout(modbus_t *ctx, modbus_timeout modbus::*which, uint32_t sec, uint32_t usec, bool zeroAllowed)
{
    if (!ctx || !validTimeout(sec, usec, zeroAllowed)) {
        errno = EINVAL;
        return -1;
    }
    ctx->*which = {int32_t(sec), int32_t(usec)};
    return 0;
}

// Copies no more than the capture holds, whatever the stored length says.
int getCapture(const uint8_t *capture, int storedLength, uint8_t *dest, int *length)
{
    if (length)
        *length = storedLength;
    if (dest && storedLength > 0)
        std::memcpy(dest, capture, size_t(storedLength < MODBUS_CAPTURE_SIZE ? storedLength : MODBUS_CAPTURE_SIZE));
    return 0;
}

#ifdef _WIN32
const char *systemErrorText(int errnum, char *buf, size_t size)
{
    // The Windows C library has no text for the socket-style numbers the line
    // sets for a silent bus and an unplugged adapter.
    if (errnum == ETIMEDOUT)
        return "Connection timed out";
    if (errnum == ECONNRESET)
        return "Connection reset by peer";
    if (strerror_s(buf, size, errnum) != 0)
        std::snprintf(buf, size, "Unknown error %d", errnum);
    return buf;
}
#else
// strerror_r comes in two kinds: the GNU one returns the text (not always in
// buf), the XSI one fills buf and returns 0.
[[maybe_unused]] const char *strerrorResult(const char *text, char *, size_t, int) { return text; }
[[maybe_unused]] const char *strerrorResult(int rc, char *buf, size_t size, int errnum)
{
    if (rc != 0)
        std::snprintf(buf, size, "Unknown error %d", errnum);
    return buf;
}

const char *systemErrorText(int errnum, char *buf, size_t size)
{
    return strerrorResult(strerror_r(errnum, buf, size), buf, size, errnum);
}
#endif

} // namespace

void modbus_error_print(modbus_t *ctx, const char *context)
{
    if (!ctx->debug)
        return;
    const int saved = errno;
    std::fprintf(stderr, "ERROR %s", modbus_strerror(saved));
    if (context)
        std::fprintf(stderr, ": %s\n", context);
    else
        std::fprintf(stderr, "\n");
    errno = saved;
}

void modbus_free(modbus_t *ctx)
{
    if (!ctx)
        return;
    ctx->backend->free(ctx);
    delete ctx;
}

int modbus_set_slave(modbus_t *ctx, int slave)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    return ctx->backend->set_slave(ctx, slave);
}

int modbus_get_slave(modbus_t *ctx)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    return ctx->slave;
}

int modbus_set_error_recovery(modbus_t *ctx, int bits)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    ctx->error_recovery = bits;
    return 0;
}

int modbus_get_header_length(modbus_t *ctx)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    return int(ctx->backend->header_length);
}

int modbus_set_debug(modbus_t *ctx, int flag)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    ctx->debug = flag;
    return 0;
}

int modbus_set_capture(modbus_t *ctx, int flag)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    ctx->capture = flag;
    ctx->last_request_length = 0;
    ctx->last_response_length = 0;
    return 0;
}

int modbus_get_response_timeout(modbus_t *ctx, uint32_t *sec, uint32_t *usec)
{
    return getTimeout(ctx, &modbus::response_timeout, sec, usec);
}

int modbus_set_response_timeout(modbus_t *ctx, uint32_t sec, uint32_t usec)
{
    return setTimeout(ctx, &modbus::response_timeout, sec, usec, false);
}

int modbus_get_byte_timeout(modbus_t *ctx, uint32_t *sec, uint32_t *usec)
{
    return getTimeout(ctx, &modbus::byte_timeout, sec, usec);
}

int modbus_set_byte_timeout(modbus_t *ctx, uint32_t sec, uint32_t usec)
{
    return setTimeout(ctx, &modbus::byte_timeout, sec, usec, true);
}

int modbus_get_indication_timeout(modbus_t *ctx, uint32_t *sec, uint32_t *usec)
{
    return getTimeout(ctx, &modbus::indication_timeout, sec, usec);
}

int modbus_set_indication_timeout(modbus_t *ctx, uint32_t sec, uint32_t usec)
{
    return setTimeout(ctx, &modbus::indication_timeout, sec, usec, false);
}

int modbus_connect(modbus_t *ctx)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    return ctx->backend->connect(ctx);
}

void modbus_close(modbus_t *ctx)
{
    if (ctx)
        ctx->backend->close(ctx);
}

int modbus_flush(modbus_t *ctx)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    const int rc = ctx->backend->flush(ctx);
    if (ctx->debug) {
        const int saved = errno;
        std::printf("Bytes flushed (%d)\n", rc);
        errno = saved;
    }
    return rc;
}

int modbus_get_last_request(modbus_t *ctx, uint8_t *dest, int *length)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    return getCapture(ctx->last_request, ctx->last_request_length, dest, length);
}

int modbus_get_last_response(modbus_t *ctx, uint8_t *dest, int *length)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    return getCapture(ctx->last_response, ctx->last_response_length, dest, length);
}

int modbus_get_last_response_length(modbus_t *ctx)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    return ctx->last_response_length;
}

int modbus_read_bits(modbus_t *ctx, int addr, int nb, uint8_t *dest)
{
    return readBits(ctx, MODBUS_FC_READ_COILS, addr, nb, dest, "ERROR Too many bits requested (%d > %d)\n");
}

int modbus_read_input_bits(modbus_t *ctx, int addr, int nb, uint8_t *dest)
{
    return readBits(ctx, MODBUS_FC_READ_DISCRETE_INPUTS, addr, nb, dest,
                    "ERROR Too many discrete inputs requested (%d > %d)\n");
}

int modbus_read_registers(modbus_t *ctx, int addr, int nb, uint16_t *dest)
{
    return readRegisters(ctx, MODBUS_FC_READ_HOLDING_REGISTERS, addr, nb, dest,
                         "ERROR Too many registers requested (%d > %d)\n");
}

int modbus_read_input_registers(modbus_t *ctx, int addr, int nb, uint16_t *dest)
{
    return readRegisters(ctx, MODBUS_FC_READ_INPUT_REGISTERS, addr, nb, dest,
                         "ERROR Too many input registers requested (%d > %d)\n");
}

int modbus_write_bit(modbus_t *ctx, int addr, int status)
{
    return writeSingle(ctx, MODBUS_FC_WRITE_SINGLE_COIL, addr, status ? 0xFF00 : 0);
}

int modbus_write_register(modbus_t *ctx, int addr, uint16_t value)
{
    return writeSingle(ctx, MODBUS_FC_WRITE_SINGLE_REGISTER, addr, value);
}

int modbus_write_bits(modbus_t *ctx, int addr, int nb, const uint8_t *src)
{
    if (!ctx || !src || nb < 1) {
        errno = EINVAL;
        return -1;
    }
    if (tooMany(ctx, nb, MODBUS_MAX_WRITE_BITS, "ERROR Writing too many bits (%d > %d)\n")
        || outsideAddresses(addr, nb) || !readyForRequest(ctx))
        return -1;
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    int reqLength = ctx->backend->build_request_basis(ctx, MODBUS_FC_WRITE_MULTIPLE_COILS, addr, nb, req);
    req[reqLength] = uint8_t(byteCount(nb));
    reqLength += 1 + modbus_pack_bits(req + reqLength + 1, src, nb);
    return exchange(ctx, req, reqLength, rsp);
}

int modbus_write_registers(modbus_t *ctx, int addr, int nb, const uint16_t *src)
{
    if (!ctx || !src || nb < 1) {
        errno = EINVAL;
        return -1;
    }
    if (tooMany(ctx, nb, MODBUS_MAX_WRITE_REGISTERS, "ERROR Trying to write to too many registers (%d > %d)\n")
        || outsideAddresses(addr, nb) || !readyForRequest(ctx))
        return -1;
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    int reqLength = ctx->backend->build_request_basis(ctx, MODBUS_FC_WRITE_MULTIPLE_REGISTERS, addr, nb, req);
    req[reqLength++] = uint8_t(nb * 2);
    for (int i = 0; i < nb; ++i, reqLength += 2)
        modbus_put_u16(req + reqLength, src[i]);
    return exchange(ctx, req, reqLength, rsp);
}

int modbus_mask_write_register(modbus_t *ctx, int addr, uint16_t and_mask, uint16_t or_mask)
{
    if (outsideAddresses(addr, 1) || !readyForRequest(ctx))
        return -1;
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    // The basis without its count, then the two masks.
    int reqLength = ctx->backend->build_request_basis(ctx, MODBUS_FC_MASK_WRITE_REGISTER, addr, 0, req) - 2;
    modbus_put_u16(req + reqLength, and_mask);
    modbus_put_u16(req + reqLength + 2, or_mask);
    reqLength += 4;
    return exchange(ctx, req, reqLength, rsp);
}

int modbus_write_and_read_registers(modbus_t *ctx, int write_addr, int write_nb, const uint16_t *src, int read_addr,
                                    int read_nb, uint16_t *dest)
{
    if (!ctx || !src || !dest || write_nb < 1 || read_nb < 1) {
        errno = EINVAL;
        return -1;
    }
    if (tooMany(ctx, write_nb, MODBUS_MAX_WR_WRITE_REGISTERS, "ERROR Too many registers to write (%d > %d)\n")
        || tooMany(ctx, read_nb, MODBUS_MAX_WR_READ_REGISTERS, "ERROR Too many registers requested (%d > %d)\n")
        || outsideAddresses(write_addr, write_nb) || outsideAddresses(read_addr, read_nb) || !readyForRequest(ctx))
        return -1;
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    int reqLength =
        ctx->backend->build_request_basis(ctx, MODBUS_FC_WRITE_AND_READ_REGISTERS, read_addr, read_nb, req);
    modbus_put_u16(req + reqLength, write_addr);
    modbus_put_u16(req + reqLength + 2, write_nb);
    reqLength += 4;
    req[reqLength++] = uint8_t(write_nb * 2);
    for (int i = 0; i < write_nb; ++i, reqLength += 2)
        modbus_put_u16(req + reqLength, src[i]);
    const int rc = exchange(ctx, req, reqLength, rsp);
    if (rc == -1)
        return -1;
    const uint8_t *data = rsp + ctx->backend->header_length + 2;
    for (int i = 0; i < rc; ++i)
        dest[i] = uint16_t(modbus_get_u16(data + 2 * i));
    return rc;
}

int modbus_report_slave_id(modbus_t *ctx, int max_dest, uint8_t *dest)
{
    if (!ctx || max_dest < 0 || (max_dest > 0 && !dest)) {
        errno = EINVAL;
        return -1;
    }
    if (!readyForRequest(ctx))
        return -1;
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
    // Address and function only.
    const int reqLength = ctx->backend->build_request_basis(ctx, MODBUS_FC_REPORT_SLAVE_ID, 0, 0, req) - 4;
    const int rc = exchange(ctx, req, reqLength, rsp);
    if (rc == -1)
        return -1;
    const int n = rc < max_dest ? rc : max_dest;
    if (n > 0)
        std::memcpy(dest, rsp + ctx->backend->header_length + 2, size_t(n));
    return rc;
}

int modbus_send_raw_request(modbus_t *ctx, const uint8_t *raw_req, int raw_req_length)
{
    if (!ctx || !raw_req || raw_req_length < 2 || raw_req_length > MODBUS_MAX_PDU_LENGTH + 1) {
        errno = EINVAL;
        return -1;
    }
    if (!readyForRequest(ctx))
        return -1;
    uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];
    std::memcpy(req, raw_req, size_t(raw_req_length));
    return sendMsg(ctx, req, raw_req_length);
}

int modbus_receive_confirmation(modbus_t *ctx, uint8_t *rsp)
{
    if (!ctx || !rsp) {
        errno = EINVAL;
        return -1;
    }
    return receiveConfirmation(ctx, rsp);
}

const char *modbus_strerror(int errnum)
{
    switch (errnum) {
    case MODBUS_ERR_ILLEGAL_FUNCTION:
        return "Illegal function";
    case MODBUS_ERR_ILLEGAL_DATA_ADDRESS:
        return "Illegal data address";
    case MODBUS_ERR_ILLEGAL_DATA_VALUE:
        return "Illegal data value";
    case MODBUS_ERR_SLAVE_FAILURE:
        return "Slave device or server failure";
    case MODBUS_ERR_ACKNOWLEDGE:
        return "Acknowledge";
    case MODBUS_ERR_SLAVE_BUSY:
        return "Slave device or server is busy";
    case MODBUS_ERR_NEGATIVE_ACKNOWLEDGE:
        return "Negative acknowledge";
    case MODBUS_ERR_MEMORY_PARITY:
        return "Memory parity error";
    case MODBUS_ERR_NOT_DEFINED:
        return "Exception code 9 (not defined)";
    case MODBUS_ERR_GATEWAY_PATH:
        return "Gateway path unavailable";
    case MODBUS_ERR_GATEWAY_TARGET:
        return "Target device failed to respond";
    case MODBUS_ERR_BAD_CRC:
        return "Invalid CRC";
    case MODBUS_ERR_BAD_DATA:
        return "Invalid data";
    case MODBUS_ERR_BAD_EXCEPTION:
        return "Invalid exception code";
    case MODBUS_ERR_UNKNOWN_EXCEPTION:
        return "Unknown exception code";
    case MODBUS_ERR_TOO_MANY_DATA:
        return "Too many data";
    case MODBUS_ERR_BAD_SLAVE:
        return "Response not from requested slave";
    default: {
        // The system's text, in a buffer of the calling thread's own: the
        // poll thread and the window may both ask at once.
        thread_local char text[128];
        return systemErrorText(errnum, text, sizeof text);
    }
    }
}
