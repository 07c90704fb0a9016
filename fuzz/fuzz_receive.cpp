// Fuzz target of the master's receive path: arbitrary bytes, served in
// arbitrary chunks with arbitrary stalls and line failures, as the answer to
// a request the input also chooses, through the real send, receive and
// check code of a connected context. Built with libFuzzer (clang) or as a
// standalone program that replays files and directories and then runs a
// seeded random loop (gcc, CTest).
//
// Input: one or more request blocks, each
//   op  slave  addrHi addrLo  nbHi nbLo  flags  schedLen sched[schedLen]  dataLen(2, LE) data[dataLen]
// op picks the call (see Op), nb is taken modulo the call's limit + 2 so
// that counts just above the limit are tried too. flags: bit 0 debug mode,
// bit 1 no byte timeout, bits 2-3 the write (0/1 whole, 2 fails, 3 short).
// Each read of the line takes the next schedule byte: 0xFF nothing arrives
// within the timeout, 0xFE the line fails, otherwise up to (byte % 64) + 1
// bytes; an exhausted schedule serves whatever is asked. The block's data
// arrives once the request is written; what the master leaves unread is
// still pending when the next block begins, for the master to drop.
#include "fakeline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using testcrc::Bytes;
using testcrc::crcValid;
std::string currentInput = "(input)";
FILE *failureLog = stderr;
// Seeds named ok-* are good answers and must be taken; exception-* must give
// an exception's number.
enum class Expect { Anything, Success, Exception } expected = Expect::Anything;

[[noreturn]] void failed(const char *what, int line)
{
    std::fprintf(failureLog, "fuzz_receive: %s (line %d) on %s\n", what, line, currentInput.c_str());
    std::fflush(failureLog);
    std::abort();
}
#define EXPECT(cond) ((cond) ? void() : failed(#cond, __LINE__))

struct Reader
{
    const uint8_t *p;
    size_t left;
    uint8_t byte() { return left ? (--left, *p++) : 0; }
    int u16be() { const int hi = byte(); return (hi << 8) | byte(); }
    int u16le() { const int lo = byte(); return lo | (byte() << 8); }
    const uint8_t *take(size_t &n) { return n = std::min(n, left), left -= n, (p += n) - n; }
};

enum Op { ReadBits, ReadInputBits, ReadRegisters, ReadInputRegisters, WriteBit, WriteRegister, WriteBits,
          WriteRegisters, MaskWrite, WriteAndRead, ReportSlaveId, Raw, OpCount };
const uint8_t functionOf[OpCount] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0F, 0x10, 0x16, 0x17, 0x11, 0};
const int limitOf[OpCount] = {MODBUS_MAX_READ_BITS, MODBUS_MAX_READ_BITS, MODBUS_MAX_READ_REGISTERS,
                              MODBUS_MAX_READ_REGISTERS, 1, 1, MODBUS_MAX_WRITE_BITS,
                              MODBUS_MAX_WRITE_REGISTERS, 1, MODBUS_MAX_WR_READ_REGISTERS,
                              MODBUS_RTU_MAX_ADU_LENGTH, MODBUS_RTU_MAX_ADU_LENGTH - 2};

bool definedError(int e) { return (e > MODBUS_ERR_BASE && e <= MODBUS_ERR_BAD_SLAVE) || e == ETIMEDOUT || e == ECONNRESET || e == EIO; }

// The master skips one 0x00 or 0xFF in front of an answer.
Bytes withoutGlitch(const Bytes &served)
{
    return Bytes(served.begin() + (!served.empty() && (served[0] == 0x00 || served[0] == 0xFF)), served.end());
}

const int canary = 0x5A, slack = 16;
bool untouched(const uint8_t *p, size_t n) { return std::count(p, p + n, canary) == long(n); }

// Runs one block's request and checks what the call returned.
void runRequest(modbus_t *ctx, FakeLine &line, Reader &in)
{
    const int op = in.byte() % OpCount, slave = in.byte() % (MODBUS_MAX_SLAVE_ADDRESS + 1);
    const int addr = in.u16be(), nb = in.u16be() % (limitOf[op] + 2), flags = in.byte();
    size_t scheduleLeft = in.byte(), answerLength;
    const uint8_t *schedule = in.take(scheduleLeft);
    const uint8_t *answer = in.take(answerLength = size_t(in.u16le()));
    line.reply.assign(answer, answer + answerLength);
    line.writeErrno = (flags & 12) == 8 ? EIO : 0;
    line.shortWrite = (flags & 12) == 12;
    line.sent.clear();
    line.served.clear();
    // Each read takes the next schedule byte. A receive ends after at most
    // one read per frame byte plus a few more; far beyond that the master is
    // spinning.
    line.chunk = [&line, schedule, scheduleLeft, reads = 0](int max) mutable {
        EXPECT(line.opened && max > 0 && ++reads < 4 * MODBUS_RTU_MAX_ADU_LENGTH);
        if (!scheduleLeft)
            return max;
        --scheduleLeft;
        const uint8_t step = *schedule++;
        return step == 0xFF ? 0 : step == 0xFE ? -1 : std::min(max, step % 64 + 1);
    };
    EXPECT(modbus_set_slave(ctx, slave) == 0);
    modbus_set_debug(ctx, flags & 1);
    modbus_set_byte_timeout(ctx, 0, flags & 2 ? 0 : 500000);

    // Room for the most any call may return, then a guard zone.
    uint8_t out[2 * MODBUS_MAX_READ_BITS + slack];
    std::memset(out, canary, sizeof out);
    uint16_t *regs = reinterpret_cast<uint16_t *>(out), src[MODBUS_MAX_WRITE_REGISTERS + 2];
    uint8_t bits[MODBUS_MAX_WRITE_BITS + 2], raw[MODBUS_RTU_MAX_ADU_LENGTH] = {uint8_t(slave), uint8_t(addr >> 8)};
    for (int i = 0; i < MODBUS_MAX_WRITE_BITS + 2; ++i) {
        bits[i] = uint8_t((addr >> (i % 16)) & 1);
        src[i % (MODBUS_MAX_WRITE_REGISTERS + 2)] = uint16_t(addr * 31 + i);
        raw[2 + i % (MODBUS_RTU_MAX_ADU_LENGTH - 2)] = uint8_t(addr + i + 2);
    }

    errno = 0;
    int rc = -1;
    switch (op) {
    case ReadBits: rc = modbus_read_bits(ctx, addr, nb, out); break;
    case ReadInputBits: rc = modbus_read_input_bits(ctx, addr, nb, out); break;
    case ReadRegisters: rc = modbus_read_registers(ctx, addr, nb, regs); break;
    case ReadInputRegisters: rc = modbus_read_input_registers(ctx, addr, nb, regs); break;
    case WriteBit: rc = modbus_write_bit(ctx, addr, nb); break;
    case WriteRegister: rc = modbus_write_register(ctx, addr, uint16_t(nb)); break;
    case WriteBits: rc = modbus_write_bits(ctx, addr, nb, bits); break;
    case WriteRegisters: rc = modbus_write_registers(ctx, addr, nb, src); break;
    case MaskWrite: rc = modbus_mask_write_register(ctx, addr, uint16_t(nb), uint16_t(~nb)); break;
    case WriteAndRead: rc = modbus_write_and_read_registers(ctx, addr, nb % 8 + 1, src, addr, nb, regs); break;
    case ReportSlaveId: rc = modbus_report_slave_id(ctx, nb, out); break;
    case Raw:
        rc = modbus_send_raw_request(ctx, raw, nb);
        if (nb < 2 || nb > limitOf[Raw])
            return EXPECT(rc == -1 && errno == EINVAL && line.sent.empty());
        if (rc > 0) {
            EXPECT(rc == nb + 2);
            rc = modbus_receive_confirmation(ctx, out);
            EXPECT(rc >= -1 && rc <= MODBUS_RTU_MAX_ADU_LENGTH && untouched(out + MODBUS_RTU_MAX_ADU_LENGTH, slack));
            EXPECT(expected != Expect::Success || rc > 0);
            const Bytes frame = withoutGlitch(line.served);
            EXPECT(rc <= 0 || (size_t(rc) == frame.size() && std::equal(out, out + rc, frame.begin()) && crcValid(frame)));
        }
        return EXPECT(rc != -1 || definedError(errno));
    }

    // Arguments out of range are refused before anything goes out.
    if (rc == -1 && errno == EINVAL)
        return EXPECT(line.sent.empty());
    if (op != ReportSlaveId && limitOf[op] > 1 && nb > limitOf[op])
        return EXPECT(rc == -1 && errno == MODBUS_ERR_TOO_MANY_DATA && line.sent.empty());
    // The line may fail while the master waits for it to fall quiet.
    if (line.sent.empty())
        return EXPECT(rc == -1 && definedError(errno));
    // Whatever happened next, the request on the wire was well formed.
    EXPECT(line.sent.back().size() >= (op == ReportSlaveId ? 4u : 8u) && crcValid(line.sent.back()));
    EXPECT(line.sent.back()[0] == slave && line.sent.back()[1] == functionOf[op]);
    EXPECT(expected != Expect::Success || rc != -1);
    EXPECT(expected != Expect::Exception
           || (rc == -1 && errno > MODBUS_ERR_BASE && (errno <= MODBUS_ERR_GATEWAY_TARGET || errno == MODBUS_ERR_BAD_EXCEPTION)));
    const int unitSize = op <= ReadInputBits ? 1 : 2;
    const bool reads = op <= ReadInputRegisters || op == WriteAndRead;
    if (rc == -1)
        return EXPECT(definedError(errno) && (!reads || untouched(out + unitSize * nb, slack)));
    // Success. A broadcast write is done once it has gone out.
    if (slave == MODBUS_BROADCAST_ADDRESS && op >= WriteBit && op <= MaskWrite)
        return EXPECT(rc == (op == WriteBits || op == WriteRegisters ? nb : 1));
    // Anything else was answered by one good frame of the asked slave and function.
    const Bytes frame = withoutGlitch(line.served);
    EXPECT(crcValid(frame) && (slave == MODBUS_BROADCAST_ADDRESS || frame[0] == slave) && frame[1] == functionOf[op]);
    if (reads) {
        EXPECT(rc == nb && untouched(out + unitSize * nb, slack));
        EXPECT(unitSize == 1 || frame.size() == size_t(5 + 2 * nb));
        for (int i = 0; i < nb; ++i)
            EXPECT(unitSize == 1 ? out[i] == ((frame[3 + i / 8] >> (i % 8)) & 1)
                                 : regs[i] == ((frame[3 + 2 * i] << 8) | frame[4 + 2 * i]));
    } else if (op == WriteBits || op == WriteRegisters) {
        EXPECT(rc == nb && ((frame[4] << 8) | frame[5]) == nb);
    } else if (op == ReportSlaveId) {
        EXPECT(rc >= 0 && rc <= MODBUS_RTU_MAX_ADU_LENGTH && untouched(out + nb, slack));
    } else {
        EXPECT(rc == 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const FakeBus bus(0);
    modbus_t *ctx = bus.ctx.get();
    EXPECT(bus.line->opened);
    Reader in{data, size};
    for (int block = 0; block < 4 && in.left > 0; ++block) {
        runRequest(ctx, *bus.line, in);
        // The captures never report more than a frame nor write past their size.
        for (auto get : {modbus_get_last_request, modbus_get_last_response}) {
            uint8_t capture[MODBUS_CAPTURE_SIZE + slack];
            std::memset(capture, canary, sizeof capture);
            int length = -1;
            EXPECT(get(ctx, capture, &length) == 0 && length >= 0 && length <= MODBUS_RTU_MAX_ADU_LENGTH);
            EXPECT(untouched(capture + MODBUS_CAPTURE_SIZE, slack));
        }
    }
    return 0;
}

#ifdef FUZZ_STANDALONE
// Replays the checked-in corpus, then runs seeded random inputs: mutations of
// the corpus and plain noise, the same on every run.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <unistd.h>

extern "C" void __sanitizer_set_report_fd(void *fd) __attribute__((weak));

int main()
{
    // Debug mode prints every frame; keep that out of the test log, but not
    // the failures nor the sanitizers' reports.
    const int log = dup(2);
    if (__sanitizer_set_report_fd)
        __sanitizer_set_report_fd(reinterpret_cast<void *>(intptr_t(log)));
    failureLog = fdopen(log, "w");
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr))
        return 2;
    std::vector<Bytes> corpus;
    for (const auto &file : std::filesystem::directory_iterator(FUZZ_CORPUS_DIR)) {
        std::ifstream f(file.path(), std::ios::binary);
        corpus.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        currentInput = file.path().filename().string();
        expected = currentInput.rfind("ok-", 0) == 0 ? Expect::Success
            : currentInput.rfind("exception-", 0) == 0 ? Expect::Exception : Expect::Anything;
        LLVMFuzzerTestOneInput(corpus.back().data(), corpus.back().size());
    }
    expected = Expect::Anything;
    std::mt19937 rng(1);
    for (long i = 0; i < 100000; ++i) {
        const bool noise = rng() % 4 == 0;
        Bytes input = noise ? Bytes(rng() % 600) : corpus[rng() % corpus.size()];
        for (uint8_t &b : input)
            b = noise ? uint8_t(rng()) : b;
        for (int flips = noise ? 0 : 1 + int(rng() % 4); flips > 0 && !input.empty(); --flips) {
            const auto at = input.begin() + long(rng() % input.size());
            const unsigned kind = rng() % 3;
            kind == 0 ? void(*at = uint8_t(rng())) : kind == 1 ? void(input.erase(at)) : void(input.insert(at, uint8_t(rng())));
        }
        currentInput = "random input " + std::to_string(i);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
}
#endif
