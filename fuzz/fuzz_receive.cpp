// Fuzz target of the master's receive path: arbitrary bytes, served in
// arbitrary chunks with arbitrary stalls and line failures, as the answer to
// a request the input also chooses, through the real send, receive and
// check code of a connected context.
//
// Built with libFuzzer (clang) or as a standalone program that replays files
// and directories and then runs a seeded random loop (gcc, CTest).
//
// Input: one or more request blocks, each
//   op  slave  addrHi addrLo  nbHi nbLo  flags  schedLen sched[schedLen]  dataLen(2, LE) data[dataLen]
// op picks the call (see ops), nb is taken modulo the call's limit + 2 so
// that counts just above the limit are tried too. flags: bit 0 debug mode,
// bit 1 no byte timeout, bits 2-3 the write (0/1 whole, 2 fails, 3 short).
// Each read of the line takes the next schedule byte: 0xFF nothing arrives
// within the timeout, 0xFE the line fails, otherwise up to (byte % 64) + 1
// bytes; an exhausted schedule serves whatever is asked. The block's data
// arrives once the request is written; what the master leaves unread is
// still pending on the line when the next block begins, for the master to
// drop before its request goes out.
#include "crc16.h"
#include "modbus-private.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace {

const char *currentInput = "(input)";
FILE *failureLog = stderr;
std::vector<uint8_t> keptInput; // standalone: written out when a check fails

// Seeds named ok-* are good answers and must be taken; exception-* must give
// an exception's number.
enum class Expect { Anything, Success, Exception } expected = Expect::Anything;

[[noreturn]] void failed(const char *what, int line)
{
    std::fprintf(failureLog, "fuzz_receive: %s (line %d) on %s\n", what, line, currentInput);
    if (!keptInput.empty()) {
        if (FILE *f = std::fopen("failed-input", "wb")) {
            std::fwrite(keptInput.data(), 1, keptInput.size(), f);
            std::fclose(f);
            std::fprintf(failureLog, "fuzz_receive: input saved as failed-input\n");
        }
    }
    std::fflush(failureLog);
    std::abort();
}
#define EXPECT(cond)                                                                                   \
    do {                                                                                               \
        if (!(cond))                                                                                   \
            failed(#cond, __LINE__);                                                                   \
    } while (0)

using testcrc::crcValid;

struct Reader
{
    const uint8_t *p;
    size_t left;
    uint8_t byte() { return left ? (--left, *p++) : 0; }
    int u16be() { const int hi = byte(); return (hi << 8) | byte(); }
    int u16le() { const int lo = byte(); return lo | (byte() << 8); }
    const uint8_t *take(size_t &n)
    {
        n = n < left ? n : left;
        const uint8_t *at = p;
        p += n;
        left -= n;
        return at;
    }
};

// The line under the context: serves the input's bytes on its schedule and
// records what the master wrote. A stall costs no real time.
class FakeLine final : public SerialLine
{
public:
    std::deque<uint8_t> pending;
    const uint8_t *answer = nullptr; // the device's reply to the next request
    size_t answerLength = 0;
    const uint8_t *schedule = nullptr;
    size_t scheduleLeft = 0;
    int writeMode = 0;
    std::vector<uint8_t> written;
    std::vector<uint8_t> served; // bytes handed to the master since its request went out
    int reads = 0;

    int open(const char *) override { opened = true; return 0; }
    int configure(int, int, char, int) override { return 0; }
    int read(uint8_t *buf, int max, long long) override
    {
        EXPECT(opened);
        EXPECT(max > 0);
        // A receive ends after at most one read per frame byte plus a few
        // more; far beyond that the master is spinning.
        EXPECT(++reads < 4 * MODBUS_RTU_MAX_ADU_LENGTH);
        int n = max;
        if (scheduleLeft) {
            const uint8_t step = *schedule++;
            --scheduleLeft;
            if (step == 0xFF)
                return 0;
            if (step == 0xFE) {
                errno = EIO;
                return -1;
            }
            n = std::min(n, step % 64 + 1);
        }
        n = std::min<int>(n, int(pending.size()));
        for (int i = 0; i < n; ++i) {
            buf[i] = pending.front();
            served.push_back(pending.front());
            pending.pop_front();
        }
        return n;
    }
    int write(const uint8_t *buf, int len) override
    {
        EXPECT(opened);
        EXPECT(len > 0 && len <= MODBUS_RTU_MAX_ADU_LENGTH);
        written.assign(buf, buf + len);
        served.clear(); // what came before the request was not its answer
        if (writeMode == 2) {
            errno = EIO;
            return -1;
        }
        pending.insert(pending.end(), answer, answer + answerLength);
        return writeMode == 3 ? len - 1 : len;
    }
    int discardInput() override { pending.clear(); return 0; }
    int restoreSettings() override { return 0; }
    int close() override { opened = false; return 0; }
    bool isOpen() const override { return opened; }
    long lastSystemError() const override { return 0; }

private:
    bool opened = false;
};

enum Op {
    ReadBits, ReadInputBits, ReadRegisters, ReadInputRegisters, WriteBit, WriteRegister, WriteBits,
    WriteRegisters, MaskWrite, WriteAndRead, ReportSlaveId, Raw, OpCount
};

const uint8_t functionOf[OpCount] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0F, 0x10, 0x16, 0x17, 0x11, 0};
const int limitOf[OpCount] = {MODBUS_MAX_READ_BITS, MODBUS_MAX_READ_BITS, MODBUS_MAX_READ_REGISTERS,
                              MODBUS_MAX_READ_REGISTERS, 1, 1, MODBUS_MAX_WRITE_BITS,
                              MODBUS_MAX_WRITE_REGISTERS, 1, MODBUS_MAX_WR_READ_REGISTERS,
                              MODBUS_RTU_MAX_ADU_LENGTH, MODBUS_RTU_MAX_ADU_LENGTH - 2};

bool definedError(int e)
{
    return (e > MODBUS_ERR_BASE && e <= MODBUS_ERR_BAD_SLAVE) || e == ETIMEDOUT || e == ECONNRESET
        || e == EIO;
}

// The master skips one 0x00 or 0xFF in front of an answer.
std::vector<uint8_t> withoutGlitch(const std::vector<uint8_t> &served)
{
    const bool glitch = !served.empty() && (served[0] == 0x00 || served[0] == 0xFF);
    return std::vector<uint8_t>(served.begin() + (glitch ? 1 : 0), served.end());
}

const int canary = 0x5A;
const int slack = 16;

bool untouched(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != canary)
            return false;
    return true;
}

// Runs one block's request and checks what the call returned.
void runRequest(modbus_t *ctx, FakeLine &line, Reader &in)
{
    const int op = in.byte() % OpCount;
    const int slave = in.byte() % (MODBUS_MAX_SLAVE_ADDRESS + 1);
    const int addr = in.u16be();
    const int nb = in.u16be() % (limitOf[op] + 2);
    const int flags = in.byte();
    size_t schedLen = in.byte();
    line.schedule = in.take(schedLen);
    line.scheduleLeft = schedLen;
    line.answerLength = size_t(in.u16le());
    line.answer = in.take(line.answerLength);
    line.writeMode = (flags >> 2) & 3;
    line.written.clear();
    line.served.clear();
    line.reads = 0;

    EXPECT(modbus_set_slave(ctx, slave) == 0);
    modbus_set_debug(ctx, flags & 1);
    if (flags & 2)
        modbus_set_byte_timeout(ctx, 0, 0);
    else
        modbus_set_byte_timeout(ctx, 0, 500000);

    // Room for the most any call may return, then a guard zone.
    uint8_t out[2 * MODBUS_MAX_READ_BITS + slack];
    std::memset(out, canary, sizeof out);
    uint16_t *regs = reinterpret_cast<uint16_t *>(out);
    uint16_t src[MODBUS_MAX_WRITE_REGISTERS + 2] = {};
    uint8_t bits[MODBUS_MAX_WRITE_BITS + 2] = {};
    for (int i = 0; i < MODBUS_MAX_WRITE_REGISTERS + 2; ++i)
        src[i] = uint16_t(addr * 31 + i);
    for (int i = 0; i < MODBUS_MAX_WRITE_BITS + 2; ++i)
        bits[i] = uint8_t((addr >> (i % 16)) & 1);
    const int maxDest = nb;

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
    case ReportSlaveId: rc = modbus_report_slave_id(ctx, maxDest, out); break;
    case Raw: {
        uint8_t raw[MODBUS_RTU_MAX_ADU_LENGTH];
        raw[0] = uint8_t(slave);
        raw[1] = uint8_t(addr >> 8);
        for (int i = 2; i < MODBUS_RTU_MAX_ADU_LENGTH; ++i)
            raw[i] = uint8_t(addr + i);
        const int rawLength = nb;
        rc = modbus_send_raw_request(ctx, raw, rawLength);
        if (rawLength < 2 || rawLength > limitOf[Raw]) {
            EXPECT(rc == -1 && errno == EINVAL && line.written.empty());
            return;
        }
        if (rc > 0) {
            EXPECT(rc == rawLength + 2);
            rc = modbus_receive_confirmation(ctx, out);
            EXPECT(rc >= -1 && rc <= MODBUS_RTU_MAX_ADU_LENGTH);
            EXPECT(untouched(out + MODBUS_RTU_MAX_ADU_LENGTH, slack));
            EXPECT(expected != Expect::Success || rc > 0);
            if (rc > 0) {
                const std::vector<uint8_t> frame = withoutGlitch(line.served);
                EXPECT(size_t(rc) == frame.size());
                EXPECT(std::memcmp(out, frame.data(), size_t(rc)) == 0);
                EXPECT(crcValid(frame));
            }
        }
        if (rc == -1)
            EXPECT(definedError(errno));
        return;
    }
    }

    // Arguments out of range are refused before anything goes out.
    if (rc == -1 && errno == EINVAL) {
        EXPECT(line.written.empty());
        return;
    }
    const uint8_t function = functionOf[op];
    const bool overLimit = op != ReportSlaveId && op != WriteBit && op != WriteRegister && op != MaskWrite
        && nb > limitOf[op];
    if (overLimit) {
        EXPECT(rc == -1 && errno == MODBUS_ERR_TOO_MANY_DATA);
        EXPECT(line.written.empty());
        return;
    }
    // The line may fail while the master waits for it to fall quiet.
    if (line.written.empty()) {
        EXPECT(rc == -1 && definedError(errno));
        return;
    }
    // Whatever happened next, the request on the wire was well formed.
    EXPECT(line.written.size() >= (op == ReportSlaveId ? 4u : 8u));
    EXPECT(line.written[0] == slave && line.written[1] == function);
    EXPECT(crcValid(line.written));

    EXPECT(expected != Expect::Success || rc != -1);
    EXPECT(expected != Expect::Exception
           || (rc == -1 && errno > MODBUS_ERR_BASE
               && (errno <= MODBUS_ERR_GATEWAY_TARGET || errno == MODBUS_ERR_BAD_EXCEPTION)));
    if (rc == -1) {
        EXPECT(definedError(errno));
        if (op <= ReadInputRegisters || op == WriteAndRead)
            EXPECT(untouched(out + (op <= ReadInputBits ? nb : 2 * nb), slack));
        return;
    }

    // Success. A broadcast write is done once it has gone out.
    if (slave == MODBUS_BROADCAST_ADDRESS && op >= WriteBit && op <= MaskWrite) {
        EXPECT(rc == (op == WriteBits || op == WriteRegisters ? nb : 1));
        return;
    }
    // Anything else was answered by one good frame of the asked slave and function.
    const std::vector<uint8_t> frame = withoutGlitch(line.served);
    EXPECT(crcValid(frame));
    EXPECT(slave == MODBUS_BROADCAST_ADDRESS || frame[0] == slave);
    EXPECT(frame[1] == function);
    switch (op) {
    case ReadBits:
    case ReadInputBits:
        EXPECT(rc == nb);
        for (int i = 0; i < nb; ++i)
            EXPECT(out[i] == ((frame[3 + i / 8] >> (i % 8)) & 1));
        EXPECT(untouched(out + nb, slack));
        break;
    case ReadRegisters:
    case ReadInputRegisters:
    case WriteAndRead:
        EXPECT(rc == nb);
        EXPECT(frame.size() == size_t(5 + 2 * nb));
        for (int i = 0; i < nb; ++i)
            EXPECT(regs[i] == ((frame[3 + 2 * i] << 8) | frame[4 + 2 * i]));
        EXPECT(untouched(out + 2 * nb, slack));
        break;
    case WriteBits:
    case WriteRegisters:
        EXPECT(rc == nb);
        EXPECT(((frame[4] << 8) | frame[5]) == nb);
        break;
    case ReportSlaveId:
        EXPECT(rc >= 0 && rc <= MODBUS_RTU_MAX_ADU_LENGTH);
        EXPECT(untouched(out + maxDest, slack));
        break;
    default:
        EXPECT(rc == 1);
        break;
    }
}

void checkCaptures(modbus_t *ctx)
{
    uint8_t capture[MODBUS_CAPTURE_SIZE + slack];
    for (int which = 0; which < 2; ++which) {
        std::memset(capture, canary, sizeof capture);
        int length = -1;
        const int rc = which ? modbus_get_last_response(ctx, capture, &length)
                             : modbus_get_last_request(ctx, capture, &length);
        EXPECT(rc == 0);
        EXPECT(length >= 0 && length <= MODBUS_RTU_MAX_ADU_LENGTH);
        EXPECT(untouched(capture + MODBUS_CAPTURE_SIZE, slack));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    modbus_t *ctx = modbus_new_rtu("fuzz", 19200, 'N', 8, 1);
    EXPECT(ctx);
    auto owned = std::make_unique<FakeLine>();
    FakeLine &line = *owned;
    modbus_rtu_set_line(ctx, std::move(owned));
    EXPECT(modbus_connect(ctx) == 0);
    Reader in{data, size};
    for (int block = 0; block < 4 && in.left > 0; ++block) {
        runRequest(ctx, line, in);
        checkCaptures(ctx);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return 0;
}

#ifdef FUZZ_STANDALONE
// Replays the corpus given on the command line (or the checked-in one), then
// runs seeded random inputs: mutations of the corpus and plain noise.
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::vector<uint8_t> readFile(const std::string &path)
{
    std::vector<uint8_t> bytes;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            bytes.insert(bytes.end(), buf, buf + n);
        std::fclose(f);
    }
    return bytes;
}

void collect(const std::string &path, std::vector<std::string> &files)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(failureLog, "fuzz_receive: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR *dir = opendir(path.c_str());
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            collect(path + "/" + e->d_name, files);
    closedir(dir);
}

} // namespace

extern "C" void __sanitizer_set_report_fd(void *fd) __attribute__((weak));

int main(int argc, char **argv)
{
    // Debug mode prints every frame; keep that out of the test log, but not
    // the failures nor the sanitizers' reports.
    const int log = dup(2);
    if (__sanitizer_set_report_fd)
        __sanitizer_set_report_fd(reinterpret_cast<void *>(intptr_t(log)));
    const int devNull = ::open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    dup2(devNull, 2);
    failureLog = fdopen(log, "w");

    long iterations = 100000;
    unsigned seed = 1;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--iterations" && i + 1 < argc)
            iterations = std::atol(argv[++i]);
        else if (arg == "--seed" && i + 1 < argc)
            seed = unsigned(std::atol(argv[++i]));
        else
            collect(arg, files);
    }
    if (files.empty())
        collect(FUZZ_CORPUS_DIR, files);

    std::vector<std::vector<uint8_t>> corpus;
    for (const std::string &file : files) {
        currentInput = file.c_str();
        corpus.push_back(readFile(file));
        keptInput = corpus.back();
        const std::string base = file.substr(file.rfind('/') + 1);
        expected = base.rfind("ok-", 0) == 0 ? Expect::Success
            : base.rfind("exception-", 0) == 0 ? Expect::Exception
                                                : Expect::Anything;
        LLVMFuzzerTestOneInput(keptInput.data(), keptInput.size());
    }

    expected = Expect::Anything;
    std::mt19937 rng(seed);
    std::string name;
    for (long i = 0; i < iterations; ++i) {
        std::vector<uint8_t> input;
        if (!corpus.empty() && rng() % 4 != 0) {
            input = corpus[rng() % corpus.size()];
            for (int flips = 1 + int(rng() % 4); flips > 0 && !input.empty(); --flips) {
                const size_t at = rng() % input.size();
                switch (rng() % 3) {
                case 0: input[at] = uint8_t(rng()); break;
                case 1: input.erase(input.begin() + long(at)); break;
                default: input.insert(input.begin() + long(at), uint8_t(rng())); break;
                }
            }
        } else {
            input.resize(rng() % 600);
            for (uint8_t &b : input)
                b = uint8_t(rng());
        }
        name = "random input " + std::to_string(i) + " of seed " + std::to_string(seed);
        currentInput = name.c_str();
        keptInput = input;
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::fprintf(failureLog, "%zu corpus inputs and %ld random inputs, no failure\n", files.size(), iterations);
    return 0;
}
#endif
