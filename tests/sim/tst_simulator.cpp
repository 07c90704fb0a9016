// The simulator and the ktsim program as the master's tests and the scripts
// rely on them, checked from a raw pty client with its own frames and CRC:
// nothing shared with the master or the simulator. What the master sees of
// the modules (registers, faults, line settings) the bus tests check.
#include "crc16.h"
#include "minitest.h"
#include "simulator.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace ktsim;
using testcrc::Bytes;

namespace {

// Address, function, two words, then (for a block write) the count and the values.
Bytes request(int slave, int fc, int a, int b, Bytes values = {})
{
    Bytes f{uint8_t(slave), uint8_t(fc), uint8_t(a >> 8), uint8_t(a), uint8_t(b >> 8), uint8_t(b)};
    if (!values.empty())
        f.push_back(uint8_t(values.size())), f.insert(f.end(), values.begin(), values.end());
    return testcrc::withCrc(f);
}

Bytes reply(int slave, std::initializer_list<int> values)
{
    Bytes f{uint8_t(slave), 3, uint8_t(2 * values.size())};
    for (int v : values)
        f.insert(f.end(), {uint8_t(v >> 8), uint8_t(v)});
    return testcrc::withCrc(f);
}

Bytes station(int s) { return reply(s, {s}); } // what register 1 answers

struct Port
{
    int fd;
    std::vector<double> byteMs; // when each byte of the last answer came, from the start of the exchange

    explicit Port(const std::string &path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~Port() { close(fd); }

    // The answer is complete once its CRC fits, else it is what came before
    // 120 ms of silence (nothing after firstMs).
    Bytes exchange(const Bytes &raw, int firstMs = 250)
    {
        const auto start = std::chrono::steady_clock::now();
        Bytes in;
        byteMs.clear();
        uint8_t buf[300];
        ssize_t n = write(fd, raw.data(), raw.size()) == ssize_t(raw.size()) ? 0 : -1;
        for (pollfd p{fd, POLLIN, 0}; n >= 0 && !testcrc::crcValid(in)
             && poll(&p, 1, in.empty() ? firstMs : 120) > 0 && (n = read(fd, buf, sizeof buf)) > 0;) {
            in.insert(in.end(), buf, buf + n);
            byteMs.insert(byteMs.end(), size_t(n), std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        return in;
    }
};

// A running ktsim, started by the shell (which first prints its pid), its
// input a fifo held open here, or /dev/null as for a background job.
struct Ktsim
{
    int in = (mkfifo("ktsim.in", 0600), open("ktsim.in", O_RDWR | O_CLOEXEC));
    FILE *out;
    pid_t pid;

    explicit Ktsim(const std::string &args, const char *input = "ktsim.in")
        : out(popen(("echo $$; exec " KTSIM_PATH " " + args + " <" + input).c_str(), "r")), pid(std::atoi(line().c_str()))
    {
    }
    ~Ktsim()
    {
        if (out && pid > 0)
            kill(pid, SIGKILL), pclose(out);
        close(in);
    }
    void signal(int s) { CHECK(pid > 0 && kill(pid, s) == 0); } // never kill(-1)
    void say(const char *command) { CHECK(write(in, command, strlen(command)) == ssize_t(strlen(command))); }
    // Its next line of output, "" at its end.
    std::string line()
    {
        char s[256] = "";
        return std::fgets(s, sizeof s, out) ? std::string(s, strcspn(s, "\n")) : "";
    }
    // Its exit status once it has ended (its output closed), or -1 while it runs on.
    int exitCode(int timeoutMs = 5000)
    {
        pollfd p{fileno(out), POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return -1;
        const int status = pclose(out);
        out = nullptr;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

bool waitForLink(const std::string &link, bool there)
{
    for (int ms = 0; ms < 3000 && (access(link.c_str(), F_OK) == 0) != there; ++ms)
        usleep(1000);
    return (access(link.c_str(), F_OK) == 0) == there;
}

} // namespace

TEST_CASE(dropsBadFramesWritesBlocksWholeAndTakesItsWireTime)
{
    Simulator sim;
    sim.addModule({ModuleType::KT101, 1, 9600, 'N', 1});
    REQUIRE(sim.start());
    Port port(sim.portPath());
    Bytes bad = request(1, 3, 1, 1);
    bad.back() ^= 1;
    CHECK(port.exchange(bad).empty() && port.exchange(request(1, 3, 1, 1)) == station(1));
    // The block with one bad value (parity code 3) writes none of it.
    CHECK(port.exchange(request(1, 0x10, 1, 5, {0, 9, 0, 4, 0, 8, 0, 1, 0, 3})) == testcrc::withCrc({1, 0x90, 3}));
    CHECK(port.exchange(request(1, 3, 1, 5)) == reply(1, {1, 3, 8, 0, 0}));
    // 8 request characters, 3.5 of silence, then byte i at the end of its
    // character (10 bits at 9600 baud). Lower bounds only.
    sim.setWireTime(true);
    const Bytes a = port.exchange(request(1, 3, 1, 1));
    CHECK(a == station(1));
    for (size_t i = 0; i < a.size(); ++i)
        CHECK(port.byteMs[i] >= (8 + 3.5 + double(i + 1)) * 10000 / 9600 - 0.05);
}

TEST_CASE(ktsimAsTheScriptsRunIt)
{
    const std::string link = "ttyKT" + std::to_string(getpid());
    // The demo bus with a missing sensor and a humidity 40 %RH down.
    Ktsim demo("--set 2:102:0xFFFF --link " + link + " --excursion 3:100:-40:60");
    REQUIRE(demo.line() == link);
    Port port(link);
    for (int s = 1; s <= 6; ++s)
        CHECK_EQ(port.exchange(request(s, 3, 1, 1)) == station(s), s <= 5);
    CHECK(port.exchange(request(2, 3, 102, 1)) == reply(2, {0xFFFF}));
    const Bytes humidity = port.exchange(request(3, 3, 100, 1));
    CHECK(humidity.size() == 7 && std::abs(humidity[3] * 256 + humidity[4] - 8) <= 7);
    // A new address is taken at the power cycle SIGHUP gives.
    CHECK(port.exchange(request(1, 6, 1, 21)) == request(1, 6, 1, 21));
    demo.signal(SIGHUP);
    bool renumbered = false; // once the signal has reached it
    for (int tries = 0; tries < 50 && !renumbered; ++tries)
        renumbered = port.exchange(request(21, 3, 1, 1), 100) == station(21);
    CHECK(renumbered);
    // Unplugged by command and by signal: the port dies, the link goes, and
    // after the given time a new port answers behind the same link.
    for (bool bySignal : {false, true}) {
        bySignal ? demo.signal(SIGUSR1) : demo.say("unplug 300\n");
        CHECK(waitForLink(link, false) && port.exchange(request(21, 3, 1, 1)).empty());
        CHECK(waitForLink(link, true) && Port(link).exchange(request(21, 3, 1, 1)) == station(21));
    }
    close(demo.in); // the end of its input
    CHECK(demo.exitCode() == 0 && unlink(link.c_str()) != 0); // the link went with the port

    // In the background with /dev/null for input it serves until a signal.
    Ktsim chosen("--module kt104:7:19200:O:2 --fault 7:exception:3 --wire-time", "/dev/null");
    Port chosenPort(chosen.line());
    termios t; // as a master sets the line; a pty keeps the rate, CSTOPB and PARODD
    REQUIRE(tcgetattr(chosenPort.fd, &t) == 0 && cfsetspeed(&t, B19200) == 0 && (t.c_cflag |= CSTOPB | PARODD));
    CHECK(tcsetattr(chosenPort.fd, TCSANOW, &t) == 0 && chosenPort.exchange(request(7, 3, 200, 4)) == testcrc::withCrc({7, 0x83, 3}));
    CHECK_EQ(chosen.exitCode(300), -1);
    chosen.signal(SIGTERM);
    CHECK_EQ(chosen.exitCode(), 0);
}

MINITEST_MAIN
