// The simulator and the ktsim program as the master's tests, the pages and
// the scripts rely on them, checked from a raw pty client with its own frame
// builder and CRC: nothing shared with the master or the simulator.
#include "crc16.h"
#include "minitest.h"
#include "simulator.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>

#include <asm/termbits.h> // termios2: any rate, also those without a B constant (56000)
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ktsim;
using testcrc::Bytes;

namespace {

// head, then (when given) the byte count and the data, then the CRC.
Bytes frame(Bytes head, const Bytes &counted = {})
{
    if (!counted.empty())
        head.push_back(uint8_t(counted.size()));
    head.insert(head.end(), counted.begin(), counted.end());
    return testcrc::withCrc(head);
}

// Address, function, two 16-bit words, then for block writes the values.
Bytes request(int slave, int fc, int a, int b, const Bytes &values = {})
{
    return frame({uint8_t(slave), uint8_t(fc), uint8_t(a >> 8), uint8_t(a), uint8_t(b >> 8), uint8_t(b)}, values);
}

Bytes words(std::initializer_list<int> values)
{
    Bytes b;
    for (int v : values)
        b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
    return b;
}

Bytes station(int s) { return frame({uint8_t(s), 3}, words({s})); } // what register 1 answers
int16_t word(const Bytes &answer, int i) { return answer.size() > 4u + 2 * i ? int16_t(answer[3 + 2 * i] << 8 | answer[4 + 2 * i]) : -9999; }

struct Port
{
    int fd;
    std::vector<double> byteMs; // when each byte of the last answer came, from the start of the exchange

    explicit Port(const std::string &path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~Port() { close(fd); }

    // As a master sets it; a pty keeps the rate, CSTOPB and PARODD.
    bool setLine(int baud, bool twoStops = false, bool odd = false)
    {
        termios2 t;
        if (ioctl(fd, TCGETS2, &t) != 0)
            return false;
        t.c_cflag = (t.c_cflag & ~tcflag_t(CBAUD | CSTOPB | PARODD)) | BOTHER | (twoStops ? CSTOPB : 0) | (odd ? PARODD : 0);
        t.c_ispeed = t.c_ospeed = speed_t(baud);
        return ioctl(fd, TCSETS2, &t) == 0;
    }

    // The answer is complete once its CRC fits, else it is what came before
    // 120 ms of silence (nothing after firstMs).
    Bytes exchange(const Bytes &raw, int firstMs = 250)
    {
        const auto start = std::chrono::steady_clock::now();
        Bytes in;
        byteMs.clear();
        uint8_t buf[300];
        ssize_t n = write(fd, raw.data(), raw.size()) == ssize_t(raw.size()) ? 0 : -1;
        for (pollfd p{fd, POLLIN, 0}; n >= 0 && !(in.size() >= 5 && testcrc::crcValid(in))
             && poll(&p, 1, in.empty() ? firstMs : 120) > 0 && (n = read(fd, buf, sizeof buf)) > 0;) {
            in.insert(in.end(), buf, buf + n);
            byteMs.insert(byteMs.end(), size_t(n), std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        return in;
    }
    // Commands reach ktsim asynchronously: ask until the bus shows the change.
    bool answersWithin(const Bytes &req, const Bytes &answer)
    {
        for (int tries = 0; tries < 50; ++tries)
            if (exchange(req, 100) == answer)
                return true;
        return false;
    }
};

std::string started(Simulator &sim, const std::vector<ModuleSpec> &modules)
{
    for (const ModuleSpec &m : modules)
        sim.addModule(m);
    return sim.start() ? sim.portPath() : std::string();
}

// A running ktsim with pipes on its standard output and its standard input
// (or /dev/null there, as for a background job).
struct Ktsim
{
    pid_t pid = -1;
    int in[2] = {-1, -1}, out[2] = {-1, -1};

    explicit Ktsim(std::vector<const char *> argv, bool nullInput = false)
    {
        argv.insert(argv.begin(), KTSIM_PATH);
        argv.push_back(nullptr);
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || (pid = fork()) != 0) {
            close(in[0]), close(out[1]);
            return;
        }
        dup2(nullInput ? open("/dev/null", O_RDONLY) : in[0], 0);
        dup2(out[1], 1);
        execv(KTSIM_PATH, const_cast<char **>(argv.data()));
        _exit(127);
    }
    ~Ktsim()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        close(in[1]), close(out[0]);
    }
    void signal(int s) { CHECK(pid > 0 && kill(pid, s) == 0); } // never kill(-1)
    void say(const char *command) { CHECK(write(in[1], command, strlen(command)) == ssize_t(strlen(command))); }

    // Its output up to the first newline, or up to its end.
    std::string line()
    {
        std::string s;
        char c;
        for (pollfd p{out[0], POLLIN, 0}; poll(&p, 1, 5000) > 0 && read(out[0], &c, 1) == 1 && c != '\n';)
            s += c;
        return s;
    }
    // Its exit status once it has ended (its output closed), or -1 while it runs on.
    int exitCode(int timeoutMs = 5000)
    {
        pollfd p{out[0], POLLIN, 0};
        int status = 0;
        if (pid <= 0 || poll(&p, 1, timeoutMs) <= 0 || waitpid(pid, &status, 0) != pid)
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

} // namespace

TEST_CASE(demoBusMapsReadingsBitsAndExceptions)
{
    Simulator sim;
    Port port(started(sim, Simulator::demoBus()));
    // KT104: each channel's PT100 resistance (hundredths of an ohm) fits its
    // temperature; a missing sensor reads 0xFFFF while the others read on.
    sim.setReg(2, 102, 0xFFFF);
    const Bytes t = port.exchange(request(2, 3, 100, 4)), r = port.exchange(request(2, 3, 200, 4));
    for (int ch : {0, 1, 3})
        CHECK(std::abs(uint16_t(word(r, ch)) / 100.0 - 100 * (1 + 3.9083e-4 * word(t, ch))) < 0.5);
    CHECK_EQ(word(t, 2), -1);
    // An offset (-1.5 degrees) shifts the KT101's reading at once.
    const int before = word(port.exchange(request(1, 3, 100, 1)), 0);
    CHECK(port.exchange(request(1, 6, 400, 0xFFF1)) == request(1, 6, 400, 0xFFF1));
    CHECK(std::abs(word(port.exchange(request(1, 3, 100, 1)), 0) - before + 15) <= 1);

    const struct { Bytes request; uint8_t code; } exceptions[] = {
        {frame({1, 0x2B, 0x0E, 0x01, 0x00}), 1}, // of unknown length: ended by the silence
        {request(2, 3, 100, 5), 2}, {request(2, 0x10, 203, 2, words({1, 1})), 2}, {request(1, 1, 2040, 9), 2},
        {request(1, 3, 100, 126), 3}, {request(1, 5, 3, 0x1234), 3}, {request(1, 0x10, 1, 5, words({9, 4, 8, 1, 3})), 3}};
    for (const auto &e : exceptions)
        CHECK(port.exchange(e.request) == frame({e.request[0], uint8_t(e.request[1] | 0x80), e.code}));
    // All or nothing: the block with one bad value wrote none of it.
    CHECK(port.exchange(request(1, 3, 1, 5)) == frame({1, 3}, words({1, 3, 8, 0, 0})));
}

TEST_CASE(dropsBrokenRequestsInjectsFaultsAndCollides)
{
    Simulator sim;
    Port port(started(sim, {{ModuleType::KT101, 1}}));
    const Bytes read = request(1, 3, 1, 1), write = request(1, 6, 400, 5), good = station(1);
    // A frame with a bad CRC spoils the whole burst, even a good request glued
    // to it; a count past any frame is dropped too. The request after the
    // silence is heard.
    Bytes glued{1, 3, 0, 1, 0, 1, 0, 0}, noisy{0xFF, 0x00, 0x55};
    glued.insert(glued.end(), read.begin(), read.end());
    noisy.insert(noisy.end(), good.begin(), good.end());
    for (const Bytes &broken : {glued, frame({1, 0x10, 0, 1, 0, 1, 0xFF, 0, 0})})
        CHECK(port.exchange(broken).empty() && port.exchange(read) == good);
    // Neither an unplugged module nor one told to answer an exception applies a write.
    const struct { Fault fault; Bytes request, answer; } faults[] = {
        {Fault::Silence, write, {}}, {Fault::Exception, write, frame({1, 0x86, 4})}, {Fault::Noise, read, noisy},
        {Fault::None, request(1, 3, 400, 1), frame({1, 3}, words({0}))}};
    for (const auto &f : faults) {
        sim.setFault(1, f.fault);
        CHECK(port.exchange(f.request) == f.answer);
    }
    // A broadcast write is applied unanswered; two modules answering one
    // broadcast read collide on the wire.
    CHECK(port.exchange(request(0, 6, 1, 9)).empty() && port.exchange(request(9, 3, 1, 1)).empty());
    sim.powerCycle();
    CHECK(port.exchange(request(9, 3, 1, 1)) == station(9));
    sim.addModule({ModuleType::Humidity, 2});
    const Bytes a = port.exchange(request(0, 3, 1, 1));
    CHECK(a.size() == 7 && !testcrc::crcValid(a));
}

TEST_CASE(hearsOnlyAtItsLineSettingsAndTakesItsWireTime)
{
    Simulator sim;
    Port port(started(sim, {{ModuleType::KT101, 1, 9600, 'N', 1}, {ModuleType::KT101, 2, 9600, 'O', 1},
                            {ModuleType::KT101, 3, 9600, 'E', 2}, {ModuleType::Humidity, 4, 56000, 'N', 1}}));
    sim.setWireTime(true);
    // Even and none look alike on a pty: both hear a line that is not odd.
    // Bits: those of one character at the module's framing.
    const struct { int baud; bool twoStops, odd; int station, bits; } rows[] = {
        {9600, false, false, 1, 10}, {9600, false, false, 2, 0}, {9600, false, true, 2, 11},
        {9600, false, true, 1, 0},   {9600, false, false, 3, 0}, {9600, true, false, 3, 12},
        {57600, false, false, 4, 0}, {56000, false, false, 4, 10}};
    for (const auto &r : rows) {
        REQUIRE(port.setLine(r.baud, r.twoStops, r.odd));
        const Bytes a = port.exchange(request(r.station, 3, 1, 1), 150);
        CHECK_EQ(a == station(r.station), r.bits > 0);
        // 8 request characters, the silence (3.5 characters, 1.75 ms above
        // 19200 baud), then byte i at the end of its character. Lower bounds only.
        const double charMs = r.bits * 1000.0 / r.baud, gapMs = r.baud > 19200 ? 1.75 : 3.5 * charMs;
        for (size_t i = 0; i < a.size(); ++i)
            CHECK(port.byteMs[i] >= (8 + double(i + 1)) * charMs + gapMs - 0.05);
    }
}

TEST_CASE(ktsimOptionsCommandsSignalsAndExits)
{
    const std::string link = "ttyKT" + std::to_string(getpid());
    // The demo bus with a missing sensor and a humidity 40 %RH down.
    Ktsim demo({"--set", "2:102:0xFFFF", "--link", link.c_str(), "--excursion", "3:100:-40:60"});
    REQUIRE(demo.line() == link);
    Port port(link);
    for (int s = 1; s <= 6; ++s)
        CHECK_EQ(port.exchange(request(s, 3, 1, 1)) == station(s), s <= 5);
    CHECK(port.exchange(request(2, 3, 102, 1)) == frame({2, 3}, words({0xFFFF})));
    CHECK(std::abs(word(port.exchange(request(3, 3, 100, 1)), 0) - 8) <= 7);
    CHECK(port.exchange(request(1, 6, 1, 21)) == request(1, 6, 1, 21));
    demo.say("power\n");
    CHECK(port.answersWithin(request(21, 3, 1, 1), station(21)));
    demo.say("set 2 103 65535\nfault 3 exception 2\n");
    CHECK(port.answersWithin(request(2, 3, 103, 1), frame({2, 3}, words({0xFFFF}))));
    CHECK(port.answersWithin(request(3, 3, 100, 1), frame({3, 0x83, 2})));
    // Unplugged by command and by signal: the port dies, the link goes, and
    // after the given time a new port answers behind the same link.
    for (bool bySignal : {false, true}) {
        bySignal ? demo.signal(SIGUSR1) : demo.say("unplug 300\n");
        for (int ms = 0; ms < 1000 && access(link.c_str(), F_OK) == 0; ++ms)
            usleep(1000);
        CHECK(port.exchange(request(21, 3, 1, 1)).empty() && access(link.c_str(), F_OK) != 0);
        for (int ms = 0; ms < 3000 && access(link.c_str(), F_OK) != 0; ++ms)
            usleep(1000);
        CHECK(Port(link).exchange(request(21, 3, 1, 1)) == station(21));
    }
    close(demo.in[1]); // the end of its input
    demo.in[1] = -1;
    CHECK(demo.exitCode() == 0 && unlink(link.c_str()) != 0); // the link went with the port

    Ktsim chosen({"--module", "kt104:7:19200:O:2", "--fault", "7:exception:3", "--wire-time"});
    Port chosenPort(chosen.line());
    CHECK(chosenPort.setLine(19200, true, true) && chosenPort.exchange(request(7, 3, 200, 4)) == frame({7, 0x83, 3}));
    chosen.signal(SIGTERM);
    CHECK_EQ(chosen.exitCode(), 0);

    // In the background with /dev/null for input it serves until a signal.
    Ktsim background({"--module", "voltage:4"}, true);
    REQUIRE(!background.line().empty());
    CHECK_EQ(background.exitCode(300), -1);
    background.signal(SIGINT);
    CHECK_EQ(background.exitCode(), 0);

    // Refused arguments: no port offered.
    const std::vector<const char *> refused[] = {{"--module", "kt102:1"}, {"--module", "kt101:1:9600:X"},
        {"--fault", "1:late:-5"}, {"--link"}, {"--verbose"}, {"--set", "1:100"}, {"--set", "6:100:1"},
        {"--set", "1:100:65536"}, {"--excursion", "1:400:10:5"}, {"--excursion", "2:104:10:5"}};
    for (const auto &args : refused) {
        Ktsim ktsim(args);
        CHECK(ktsim.line().empty() && ktsim.exitCode() == 2);
    }
}

MINITEST_MAIN
