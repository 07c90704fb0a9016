#include "simulator.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <time.h>

#include <asm/termbits.h> // termios2: the exact rate the master set, also non-standard ones
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ktsim {

namespace {

using Bytes = std::vector<uint8_t>;
using Nanos = int64_t; // CLOCK_MONOTONIC

constexpr int kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 56000, 57600, 115200};
constexpr int kBitCount = 2048; // coils 0..2047; discrete input n mirrors coil n
constexpr size_t kMaxFrame = 256;

enum Exception : uint8_t { IllegalFunction = 1, IllegalDataAddress = 2, IllegalDataValue = 3 };

// Bit by bit on purpose: no table shared with, or copied from, the master.
uint16_t crc16(const uint8_t *p, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

void appendCrc(Bytes &frame)
{
    const uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(uint8_t(crc & 0xFF));
    frame.push_back(uint8_t(crc >> 8));
}

bool crcOk(const uint8_t *p, size_t n)
{
    return n >= 4 && crc16(p, n - 2) == (p[n - 2] | (p[n - 1] << 8));
}

uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
void put16(Bytes &b, uint16_t v)
{
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v & 0xFF));
}

Nanos now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Nanos(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepUntil(Nanos t)
{
    const timespec ts{time_t(t / 1000000000), long(t % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

int baudCode(int baud)
{
    for (int i = 0; i < 9; ++i)
        if (kBaudRates[i] == baud)
            return i;
    return -1;
}

// What the master set on the pty. PARENB does not survive on a pty, so only
// "odd" versus "not odd" can be told apart.
struct Line
{
    int baud = 0;
    bool odd = false;
    int stopBits = 1;
};

Line readLine(int fd)
{
    Line line;
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return line;
    line.baud = int(t.c_ospeed);
    line.odd = (t.c_cflag & PARODD) != 0;
    line.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    return line;
}

// Length of the request at the front of buf once known: 0 = need more bytes,
// -1 = unknown function (the frame ends at the silence).
long requestLength(const Bytes &buf)
{
    if (buf.size() < 2)
        return 0;
    switch (buf[1]) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06:
        return 8;
    case 0x07: case 0x11:
        return 4;
    case 0x16:
        return 10;
    case 0x0F: case 0x10:
        return buf.size() < 7 ? 0 : 9 + long(buf[6]);
    case 0x17:
        return buf.size() < 11 ? 0 : 13 + long(buf[10]);
    default:
        return -1;
    }
}

struct Reading
{
    double base;
    double amplitude;
};

// Slow, bounded and deterministic: one step per read that reaches the module.
double drift(const Reading &r, uint32_t step, int phase)
{
    return r.base + r.amplitude * std::sin(6.283185307179586 * (double(step) / 240.0) + phase * 0.9);
}

// PT100 (IEC 60751, 0..850 degC branch, good enough below zero for a simulator), in hundredths of an ohm.
uint16_t pt100(double celsius)
{
    const double ohm = 100.0 * (1 + 3.9083e-3 * celsius - 5.775e-7 * celsius * celsius);
    return uint16_t(std::lround(ohm * 100));
}

// A reading that leaves its usual range and comes back, again and again:
// at its full height from the moment it is set, back to the plain drift half
// a period later (a raised cosine), so a demo shows it at once.
struct Excursion
{
    double delta; // in register units: tenths of a degree, %RH, mV, uA
    Nanos period;
    Nanos since;

    double at(Nanos t) const
    {
        const double phase = double((t - since) % period) / double(period);
        return delta * (1 + std::cos(6.283185307179586 * phase)) / 2;
    }
};

struct Module
{
    ModuleType type;
    // Active settings; registers 1..5 hold the pending ones until a restart.
    int address;
    int baud;
    char parity;
    int stopBits;
    std::map<int, uint16_t> regs; // exactly the registers the module has
    std::set<int> pinned; // readings fixed by setReg (e.g. 0xFFFF, sensor missing)
    std::map<int, Excursion> excursions; // by channel
    Bytes bits = Bytes(kBitCount, 0);
    uint32_t step = 0;

    explicit Module(const ModuleSpec &s)
        : type(s.type), address(s.address), baud(s.baud), parity(s.parity), stopBits(s.stopBits)
    {
        const int code = baudCode(s.baud);
        regs[1] = uint16_t(s.address);
        regs[2] = code < 0 ? 0xFFFF : uint16_t(code);
        regs[3] = 8;
        regs[4] = s.stopBits == 2 ? 1 : 0;
        regs[5] = s.parity == 'O' ? 1 : s.parity == 'E' ? 2 : 0;
        regs[37] = 0;
        for (int r = 100; r < 100 + channels(); ++r)
            regs[r] = 0;
        if (type == ModuleType::KT104)
            for (int r = 200; r < 204; ++r)
                regs[r] = 0;
        if (isTemperature())
            for (int r = 400; r < 400 + channels(); ++r)
                regs[r] = 0;
        refresh();
    }

    bool isTemperature() const { return type == ModuleType::KT101 || type == ModuleType::KT104; }
    int channels() const { return type == ModuleType::KT104 ? 4 : 1; }
    bool isReading(int r) const { return (r >= 100 && r < 100 + channels()) || (type == ModuleType::KT104 && r >= 200 && r < 204); }
    bool isWritable(int r) const { return (r >= 1 && r <= 5) || r == 37 || (isTemperature() && r >= 400 && r < 400 + channels()); }

    static bool validValue(int r, uint16_t v)
    {
        switch (r) {
        case 1: return v >= 1 && v <= 247;
        case 2: return v <= 8;
        case 3: return v == 8; // a pty only carries 8 data bits
        case 4: return v <= 1;
        case 5: return v <= 2;
        case 37: return v == 1;
        default: return true; // offsets: any signed tenths
        }
    }

    void set(int r, uint16_t v)
    {
        if (isReading(r))
            pinned.insert(r);
        regs[r] = v;
        refresh();
    }

    void refresh()
    {
        auto store = [this](int r, uint16_t v) {
            if (!pinned.count(r))
                regs[r] = v;
        };
        const Nanos t = excursions.empty() ? 0 : now();
        auto excursion = [this, t](int ch) {
            const auto e = excursions.find(ch);
            return e == excursions.end() ? 0.0 : e->second.at(t);
        };
        switch (type) {
        case ModuleType::KT101:
        case ModuleType::KT104:
            for (int ch = 0; ch < channels(); ++ch) {
                static const double bases[] = {23.5, 21.0, 26.5, 18.5};
                const double celsius = drift({bases[ch], 0.8}, step, ch) + excursion(ch) / 10;
                store(100 + ch, uint16_t(std::lround(celsius * 10) + int16_t(regs[400 + ch])));
                if (type == ModuleType::KT104)
                    store(200 + ch, pt100(celsius));
            }
            break;
        case ModuleType::Humidity: store(100, uint16_t(std::lround(drift({48, 6}, step, 0) + excursion(0)))); break;
        case ModuleType::Voltage: store(100, uint16_t(std::lround(drift({12000, 150}, step, 0) + excursion(0)))); break;
        case ModuleType::Current: store(100, uint16_t(std::lround(drift({12000, 400}, step, 0) + excursion(0)))); break;
        }
    }

    // A restart or a power cycle: registers 1..5 become the line settings.
    // A stored value the module cannot use (only setReg can put one there)
    // leaves that setting as it was.
    void applyCommRegisters()
    {
        if (validValue(1, regs[1]))
            address = regs[1];
        if (validValue(2, regs[2]))
            baud = kBaudRates[regs[2]];
        if (validValue(4, regs[4]))
            stopBits = regs[4] + 1;
        if (validValue(5, regs[5]))
            parity = "NOE"[regs[5]];
    }

    bool hears(const Line &line) const
    {
        return line.baud == baud && line.stopBits == stopBits && line.odd == (parity == 'O');
    }

    // Bits per character on the wire for this module's framing.
    int bitsPerChar() const { return 1 + 8 + (parity == 'N' ? 0 : 1) + stopBits; }

    // Executes one request (CRC already checked). Returns the response PDU
    // (function first), empty for no answer; sets restart for register 37.
    Bytes execute(const Bytes &req, bool &restart)
    {
        const uint8_t fc = req[1];
        auto exception = [fc](uint8_t code) { return Bytes{uint8_t(fc | 0x80), code}; };
        const size_t n = req.size();
        const long expected = requestLength(req);
        if (expected < 0 || (fc >= 0x07 && fc != 0x0F && fc != 0x10))
            return exception(IllegalFunction);
        if (long(n) != expected)
            return {}; // malformed length for its function: not a request we can parse
        const int addr = be16(&req[2]);
        const int qty = be16(&req[4]);
        Bytes pdu{fc};
        switch (fc) {
        case 0x01:
        case 0x02: {
            if (qty < 1 || qty > 2000)
                return exception(IllegalDataValue);
            if (addr + qty > kBitCount)
                return exception(IllegalDataAddress);
            pdu.push_back(uint8_t((qty + 7) / 8));
            for (int i = 0; i < qty; ++i) {
                if (i % 8 == 0)
                    pdu.push_back(0);
                if (bits[size_t(addr + i)])
                    pdu.back() |= uint8_t(1 << (i % 8));
            }
            return pdu;
        }
        case 0x03:
        case 0x04: {
            if (qty < 1 || qty > 125)
                return exception(IllegalDataValue);
            bool reading = false;
            for (int r = addr; r < addr + qty; ++r) {
                if (!regs.count(r))
                    return exception(IllegalDataAddress);
                reading = reading || isReading(r);
            }
            if (reading) { // readings move on only when someone looks at them
                ++step;
                refresh();
            }
            pdu.push_back(uint8_t(2 * qty));
            for (int r = addr; r < addr + qty; ++r)
                put16(pdu, regs[r]); // 37 always reads 0
            return pdu;
        }
        case 0x05:
            if (qty != 0x0000 && qty != 0xFF00)
                return exception(IllegalDataValue);
            if (addr >= kBitCount)
                return exception(IllegalDataAddress);
            bits[size_t(addr)] = qty ? 1 : 0;
            return Bytes(req.begin() + 1, req.begin() + 6);
        case 0x06:
            return writeRegisters(req, addr, 1, &req[4], restart);
        case 0x0F: {
            if (qty < 1 || qty > 1968 || req[6] != (qty + 7) / 8)
                return exception(IllegalDataValue);
            if (addr + qty > kBitCount)
                return exception(IllegalDataAddress);
            for (int i = 0; i < qty; ++i)
                bits[size_t(addr + i)] = (req[7 + i / 8] >> (i % 8)) & 1;
            return Bytes(req.begin() + 1, req.begin() + 6);
        }
        default: // 0x10
            if (qty < 1 || qty > 123 || req[6] != 2 * qty)
                return exception(IllegalDataValue);
            return writeRegisters(req, addr, qty, &req[7], restart);
        }
    }

    // All or nothing: one bad register or value and nothing is written.
    Bytes writeRegisters(const Bytes &req, int addr, int qty, const uint8_t *values, bool &restart)
    {
        const uint8_t fc = req[1];
        for (int i = 0; i < qty; ++i)
            if (!isWritable(addr + i))
                return {uint8_t(fc | 0x80), IllegalDataAddress};
        for (int i = 0; i < qty; ++i)
            if (!validValue(addr + i, be16(values + 2 * i)))
                return {uint8_t(fc | 0x80), IllegalDataValue};
        for (int i = 0; i < qty; ++i) {
            if (addr + i == 37)
                restart = true;
            else
                regs[addr + i] = be16(values + 2 * i);
        }
        refresh();
        return Bytes(req.begin() + 1, req.begin() + 6);
    }
};

struct FaultSetting
{
    Fault fault = Fault::None;
    int param = 0;
};

struct Chunk
{
    Nanos at;
    Bytes bytes;
};

} // namespace

struct Simulator::Impl
{
    mutable std::mutex mutex; // guards everything below up to the thread
    std::vector<Module> modules;
    std::map<int, FaultSetting> faults;
    bool wireTime = false;
    uint64_t frames = 0;
    uint64_t answered = 0;
    Nanos shortestGap = -1;

    int masterFd = -1;
    int slaveFd = -1; // kept open so the pty survives the master's close, and to read its settings
    int wakeFd = -1;
    std::string slavePath;
    std::string linkPath;
    std::string unpluggedLink;
    std::thread thread;

    bool start(const std::string &link);
    void stop();
    void run();
    void noteGap(Nanos gap)
    {
        std::lock_guard<std::mutex> lock(mutex);
        shortestGap = shortestGap < 0 ? gap : std::min(shortestGap, gap);
    }
    std::vector<Chunk> process(const Bytes &frame, Nanos firstByte);
    Module *byAddress(int address)
    {
        for (Module &m : modules)
            if (m.address == address)
                return &m;
        return nullptr;
    }
};

bool Simulator::Impl::start(const std::string &link)
{
    masterFd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); // a child holding it would keep the port alive
    if (masterFd < 0)
        return false;
    const char *name = nullptr;
    if (grantpt(masterFd) != 0 || unlockpt(masterFd) != 0 || !(name = ptsname(masterFd))) {
        const int e = errno;
        stop();
        errno = e;
        return false;
    }
    slavePath = name;
    slaveFd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct termios2 t;
    if (slaveFd < 0 || ioctl(slaveFd, TCGETS2, &t) != 0) {
        const int e = errno;
        stop();
        errno = e;
        return false;
    }
    // Raw from the start: an echoing line discipline would hand our answers
    // back to us as requests before the master has configured the port.
    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CBAUD);
    // The standard B9600 constant, not BOTHER: masters that know only the
    // constants (wine's serial driver among them) refuse a port that reports
    // a plain-number rate.
    t.c_cflag |= CS8 | CREAD | CLOCAL | B9600;
    t.c_ispeed = t.c_ospeed = 9600;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (ioctl(slaveFd, TCSETS2, &t) != 0) {
        const int e = errno;
        stop();
        errno = e;
        return false;
    }
    if (!link.empty()) {
        // Replace a stale link from an earlier run, never a real file.
        struct stat st;
        if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            unlink(link.c_str());
        if (symlink(name, link.c_str()) != 0) {
            const int e = errno;
            stop();
            errno = e;
            return false;
        }
        linkPath = link;
    }
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        const int e = errno;
        stop();
        errno = e;
        return false;
    }
    thread = std::thread([this] { run(); });
    return true;
}

void Simulator::Impl::stop()
{
    if (thread.joinable()) {
        const uint64_t one = 1;
        if (write(wakeFd, &one, sizeof one) < 0) {
        }
        thread.join();
    }
    for (int *fd : {&wakeFd, &slaveFd, &masterFd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    if (!linkPath.empty())
        unlink(linkPath.c_str());
    linkPath.clear();
    slavePath.clear();
}

void Simulator::Impl::run()
{
    // Wake-ups on time matter for wire-time emulation: no timer slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    Bytes rx;
    Nanos firstByte = 0, lastByte = 0;
    Nanos answerEnd = -1; // when the last answer was out, until a request follows it
    bool discarding = false; // a broken frame: drop everything up to the next silence
    std::vector<Chunk> out; // sorted by time
    auto schedule = [&out](std::vector<Chunk> chunks) {
        for (Chunk &c : chunks)
            out.insert(std::upper_bound(out.begin(), out.end(), c.at,
                                        [](Nanos at, const Chunk &x) { return at < x.at; }),
                       std::move(c));
    };
    // 3.5 characters of 11 bits at the line's rate, fixed 1.75 ms above 19200 baud.
    auto silence = [this] {
        const int baud = readLine(slaveFd).baud;
        return baud > 19200 || baud <= 0 ? Nanos(1750000) : Nanos(38.5e9 / baud);
    };

    for (;;) {
        Nanos deadline = -1;
        if (!rx.empty() || discarding)
            deadline = lastByte + silence();
        if (!out.empty() && (deadline < 0 || out.front().at < deadline))
            deadline = out.front().at;

        pollfd fds[2] = {{masterFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        timespec ts, *tsp = nullptr;
        if (deadline >= 0) {
            const Nanos wait = std::max<Nanos>(0, deadline - now());
            ts = {time_t(wait / 1000000000), long(wait % 1000000000)};
            tsp = &ts;
        }
        if (ppoll(fds, 2, tsp, nullptr) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;

        if (fds[0].revents & POLLIN) {
            uint8_t buf[512];
            const ssize_t got = read(masterFd, buf, sizeof buf);
            if (got > 0) {
                const Nanos t = now();
                if (rx.empty() && !discarding && (answerEnd >= 0 || !out.empty())) {
                    noteGap(out.empty() ? t - answerEnd : 0);
                    answerEnd = -1;
                }
                if (rx.empty())
                    firstByte = t;
                lastByte = t;
                if (!discarding)
                    rx.insert(rx.end(), buf, buf + got);
            }
        }

        // Complete frames by their length.
        while (!discarding && !rx.empty()) {
            const long len = requestLength(rx);
            if (len <= 0 || rx.size() < size_t(len)) {
                discarding = rx.size() > kMaxFrame;
                break;
            }
            const Bytes frame(rx.begin(), rx.begin() + len);
            rx.erase(rx.begin(), rx.begin() + len);
            schedule(process(frame, firstByte));
            firstByte = lastByte;
            discarding = !crcOk(frame.data(), frame.size());
        }

        // A frame also ends at the silence after its last byte.
        if ((!rx.empty() || discarding) && now() >= lastByte + silence()) {
            if (!discarding)
                schedule(process(rx, firstByte));
            rx.clear();
            discarding = false;
        }

        while (!out.empty() && out.front().at <= now() + 20000) {
            sleepUntil(out.front().at);
            const Bytes &b = out.front().bytes;
            // Taken before the master can see the bytes: no gap looks longer than it was.
            answerEnd = now();
            // Nobody reading the other end is like nobody on the wire: drop what does not fit.
            if (write(masterFd, b.data(), b.size()) < 0) {
            }
            out.erase(out.begin());
        }
    }
}

std::vector<Chunk> Simulator::Impl::process(const Bytes &frame, Nanos firstByte)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++frames;
    if (frame.size() < 4 || !crcOk(frame.data(), frame.size()))
        return {};
    const Line line = readLine(slaveFd);
    const int target = frame[0];
    const bool broadcast = target == 0;
    const bool read = frame[1] >= 0x01 && frame[1] <= 0x04;

    struct Answer
    {
        Bytes bytes;
        FaultSetting fault;
        int bitsPerChar;
    };
    std::vector<Answer> answers;
    for (Module &m : modules) {
        if (!m.hears(line) || (!broadcast && m.address != target))
            continue;
        const FaultSetting fault = faults.count(m.address) ? faults[m.address] : FaultSetting{};
        if (fault.fault == Fault::Silence)
            continue; // as if unplugged: hears nothing, applies nothing
        bool restart = false;
        Bytes pdu;
        if (fault.fault == Fault::Exception)
            pdu = {uint8_t(frame[1] | 0x80), uint8_t(fault.param ? fault.param : 4)};
        else
            pdu = m.execute(frame, restart);
        const int address = m.address;
        if (restart)
            m.applyCommRegisters(); // and it does not answer
        if (restart || pdu.empty() || (broadcast && !read))
            continue;
        Bytes out{uint8_t(address)};
        out.insert(out.end(), pdu.begin(), pdu.end());
        appendCrc(out);
        switch (fault.fault) {
        case Fault::BadCrc: out.back() ^= 0xFF; break;
        case Fault::WrongAddress:
            out.resize(out.size() - 2);
            out[0] = uint8_t(address % 247 + 1);
            appendCrc(out);
            break;
        case Fault::Truncated: out.resize(out.size() - 3); break;
        case Fault::Noise: {
            const Bytes junk{0xFF, 0x00, 0x55, 0xAA, 0x13};
            const size_t k = std::min<size_t>(fault.param > 0 ? size_t(fault.param) : 3, junk.size());
            out.insert(out.begin(), junk.begin(), junk.begin() + long(k));
            break;
        }
        default: break;
        }
        answers.push_back({out, fault, m.bitsPerChar()});
    }
    if (answers.empty())
        return {};
    ++answered;

    // Two modules answering at once (a broadcast read on a shared bus)
    // collide; model the wire as a dominant zero.
    Answer a = answers.front();
    for (size_t i = 1; i < answers.size(); ++i) {
        const Bytes &b = answers[i].bytes;
        a.bytes.resize(std::max(a.bytes.size(), b.size()), 0xFF);
        for (size_t j = 0; j < b.size(); ++j)
            a.bytes[j] &= b[j];
    }

    const Nanos charTime = Nanos(1e9 * a.bitsPerChar / std::max(line.baud, 1));
    Nanos start = now();
    if (wireTime) {
        const Nanos gap = line.baud > 19200 ? 1750000 : charTime * 7 / 2;
        start = std::max(start, firstByte + Nanos(frame.size()) * charTime + gap);
    }
    if (a.fault.fault == Fault::Late)
        start += Nanos(a.fault.param > 0 ? a.fault.param : 1500) * 1000000;

    std::vector<Chunk> chunks;
    if (a.fault.fault == Fault::ByteByByte) {
        const Nanos gap = Nanos(a.fault.param > 0 ? a.fault.param : 10) * 1000000;
        for (size_t i = 0; i < a.bytes.size(); ++i)
            chunks.push_back({start + Nanos(i) * gap, Bytes{a.bytes[i]}});
    } else if (wireTime) {
        // Each byte leaves when its last bit is on the wire; absolute times, no drift.
        for (size_t i = 0; i < a.bytes.size(); ++i)
            chunks.push_back({start + Nanos(i + 1) * charTime, Bytes{a.bytes[i]}});
    } else {
        chunks.push_back({start, std::move(a.bytes)});
    }
    return chunks;
}

Simulator::Simulator() : d(new Impl) {}

Simulator::~Simulator() { stop(); }

void Simulator::addModule(const ModuleSpec &spec)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->modules.emplace_back(spec);
}

std::vector<ModuleSpec> Simulator::demoBus()
{
    return {{ModuleType::KT101, 1}, {ModuleType::KT104, 2}, {ModuleType::Humidity, 3},
            {ModuleType::Voltage, 4}, {ModuleType::Current, 5}};
}

bool Simulator::start(const std::string &linkPath)
{
    if (d->masterFd >= 0) {
        errno = EBUSY;
        return false;
    }
    return d->start(linkPath);
}

void Simulator::stop() { d->stop(); }

std::string Simulator::portPath() const { return d->linkPath.empty() ? d->slavePath : d->linkPath; }

void Simulator::unplug()
{
    if (d->masterFd < 0)
        return;
    d->unpluggedLink = d->linkPath;
    d->stop();
}

bool Simulator::plug() { return start(d->unpluggedLink); }

void Simulator::setFault(int address, Fault fault, int param)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->faults[address] = {fault, param};
}

void Simulator::setWireTime(bool on)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->wireTime = on;
}

void Simulator::powerCycle()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    for (Module &m : d->modules)
        m.applyCommRegisters();
}

bool Simulator::setReg(int address, int reg, uint16_t value)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    Module *m = d->byAddress(address);
    if (!m || !m->regs.count(reg) || reg == 37)
        return false;
    m->set(reg, value);
    return true;
}

bool Simulator::setExcursion(int address, int reg, int delta, int periodMs)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    Module *m = d->byAddress(address);
    if (!m || reg < 100 || reg >= 100 + m->channels() || periodMs <= 0)
        return false;
    m->excursions[reg - 100] = {double(delta), Nanos(periodMs) * 1000000, now()};
    m->refresh();
    return true;
}

long long Simulator::takeShortestGap()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    const long long gap = d->shortestGap < 0 ? -1 : d->shortestGap / 1000;
    d->shortestGap = -1;
    return gap;
}

uint64_t Simulator::framesReceived() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->frames;
}

uint64_t Simulator::framesAnswered() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->answered;
}

} // namespace ktsim
