// ktsim: serves a bus of simulated modules on a pseudo-terminal until told to stop.
#include "simulator.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: ktsim [options]\n"
    "Serves simulated modules on a new pseudo-terminal and prints its path.\n"
    "Without --module: the demo bus at 9600 8N1, station 1 KT101, 2 KT104,\n"
    "3 humidity, 4 voltage, 5 current.\n"
    "  --link PATH                 also make PATH a symlink to the port\n"
    "  --module TYPE:ADDR[:BAUD[:PARITY[:STOP]]]\n"
    "                              add a module (repeatable, replaces the demo bus);\n"
    "                              TYPE kt101|kt104|humidity|voltage|current,\n"
    "                              PARITY N|O|E, STOP 1|2\n"
    "  --fault ADDR:KIND[:PARAM]   inject a fault (repeatable); KIND none|silence|badcrc|\n"
    "                              exception[:CODE]|wrongaddr|truncated|noise[:COUNT]|\n"
    "                              late[:MS]|bytebybyte[:GAP_MS]\n"
    "  --set ADDR:REG:VALUE        store VALUE in a register, as the set command\n"
    "                              (repeatable; 2:102:0xFFFF: no sensor on channel 3)\n"
    "  --excursion ADDR:REG:DELTA:SECONDS\n"
    "                              the reading in REG (100..103) gains DELTA in its\n"
    "                              register units at once, is back to normal after\n"
    "                              half of SECONDS, and again at the full DELTA after\n"
    "                              SECONDS, and so on (repeatable)\n"
    "  --wire-time                 release each byte at its character time\n"
    "  --help                      this text\n"
    "Commands on standard input: power (power cycle), fault ADDR KIND [PARAM],\n"
    "set ADDR REG VALUE, gap (prints gap_us=N: the shortest time from an answer's\n"
    "end to the next request since the last gap, -1 if none), unplug [MS] (the\n"
    "adapter pulled out: the port and its link go, and come back at the same\n"
    "link after MS milliseconds, default 1000), quit.\n"
    "SIGHUP power-cycles; SIGUSR1 unplugs for 1000 ms; SIGINT, SIGTERM and the\n"
    "end of standard input quit\n"
    "(a /dev/null input is ignored, for background use).\n"
    "The parity of a module is checked as odd or not odd: a pseudo-terminal\n"
    "does not keep the even/none distinction.\n";

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> parts;
    std::stringstream in(s);
    std::string p;
    while (std::getline(in, p, sep))
        parts.push_back(p);
    return parts;
}

bool toInt(const std::string &s, int &v)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long l = std::strtol(s.c_str(), &end, 0);
    if (*end || errno || l < -2147483647L || l > 2147483647L)
        return false;
    v = int(l);
    return true;
}

bool parseModule(const std::string &arg, ktsim::ModuleSpec &spec)
{
    static const struct { const char *name; ktsim::ModuleType type; } types[] = {
        {"kt101", ktsim::ModuleType::KT101}, {"kt104", ktsim::ModuleType::KT104},
        {"humidity", ktsim::ModuleType::Humidity}, {"voltage", ktsim::ModuleType::Voltage},
        {"current", ktsim::ModuleType::Current}};
    const auto p = split(arg, ':');
    if (p.size() < 2 || p.size() > 5)
        return false;
    bool known = false;
    for (const auto &t : types)
        if (p[0] == t.name) {
            spec.type = t.type;
            known = true;
        }
    if (!known || !toInt(p[1], spec.address) || spec.address < 1 || spec.address > 247)
        return false;
    if (p.size() > 2 && (!toInt(p[2], spec.baud) || spec.baud <= 0))
        return false;
    if (p.size() > 3 && (p[3].size() != 1 || !std::strchr("NOE", p[3][0])))
        return false;
    if (p.size() > 3)
        spec.parity = p[3][0];
    if (p.size() > 4 && (!toInt(p[4], spec.stopBits) || (spec.stopBits != 1 && spec.stopBits != 2)))
        return false;
    return true;
}

bool parseFault(const std::vector<std::string> &p, int &address, ktsim::Fault &fault, int &param)
{
    static const struct { const char *name; ktsim::Fault fault; } kinds[] = {
        {"none", ktsim::Fault::None}, {"silence", ktsim::Fault::Silence},
        {"badcrc", ktsim::Fault::BadCrc}, {"exception", ktsim::Fault::Exception},
        {"wrongaddr", ktsim::Fault::WrongAddress}, {"truncated", ktsim::Fault::Truncated},
        {"noise", ktsim::Fault::Noise}, {"late", ktsim::Fault::Late},
        {"bytebybyte", ktsim::Fault::ByteByByte}};
    if (p.size() < 2 || p.size() > 3 || !toInt(p[0], address))
        return false;
    param = 0;
    if (p.size() == 3 && (!toInt(p[2], param) || param < 0))
        return false;
    for (const auto &k : kinds)
        if (p[1] == k.name) {
            fault = k.fault;
            return true;
        }
    return false;
}

// ADDR:REG:VALUE of --set or ADDR:REG:DELTA:SECONDS of --excursion, as numbers.
bool parseNumbers(const std::string &arg, std::vector<int> &numbers, size_t count)
{
    const auto p = split(arg, ':');
    numbers.assign(p.size(), 0);
    for (size_t i = 0; i < p.size(); ++i)
        if (!toInt(p[i], numbers[i]))
            return false;
    return p.size() == count;
}

const int kUnplugMs = 1000;

// One line from standard input; false to quit. unplugMs is set by unplug.
bool command(ktsim::Simulator &sim, const std::string &line, int &unplugMs)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty())
        return true;
    const std::string &cmd = words[0];
    const std::vector<std::string> args(words.begin() + 1, words.end());
    int address = 0, reg = 0, value = 0, param = 0;
    ktsim::Fault fault = ktsim::Fault::None;
    if (cmd == "quit")
        return false;
    if (cmd == "power" && args.empty())
        sim.powerCycle();
    else if (cmd == "unplug" && args.size() <= 1 && (args.empty() || (toInt(args[0], unplugMs) && unplugMs >= 0))) {
        if (args.empty())
            unplugMs = kUnplugMs;
    } else if (cmd == "gap" && args.empty())
        std::printf("gap_us=%lld\n", sim.takeShortestGap()), std::fflush(stdout);
    else if (cmd == "fault" && parseFault(args, address, fault, param))
        sim.setFault(address, fault, param);
    else if (cmd == "set" && args.size() == 3 && toInt(args[0], address) && toInt(args[1], reg)
             && toInt(args[2], value) && value >= 0 && value <= 0xFFFF) {
        if (!sim.setReg(address, reg, uint16_t(value)))
            std::fprintf(stderr, "ktsim: no register %d at station %d\n", reg, address);
    } else
        std::fprintf(stderr, "ktsim: unknown command: %s\n", line.c_str());
    return true;
}

bool stdinIsDevNull()
{
    struct stat st;
    return fstat(0, &st) == 0 && S_ISCHR(st.st_mode) && !isatty(0);
}

} // namespace

int main(int argc, char **argv)
{
    ktsim::Simulator sim;
    std::string link;
    bool demo = true, wireTime = false;
    // Applied once every module is there, so their order does not matter.
    std::vector<std::string> sets, excursions;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--wire-time") {
            wireTime = true;
        } else if (a == "--link" && hasValue) {
            link = argv[++i];
        } else if (a == "--module" && hasValue) {
            ktsim::ModuleSpec spec;
            if (!parseModule(argv[++i], spec)) {
                std::fprintf(stderr, "ktsim: bad module: %s\n%s", argv[i], kUsage);
                return 2;
            }
            sim.addModule(spec);
            demo = false;
        } else if (a == "--set" && hasValue) {
            sets.push_back(argv[++i]);
        } else if (a == "--excursion" && hasValue) {
            excursions.push_back(argv[++i]);
        } else if (a == "--fault" && hasValue) {
            int address = 0, param = 0;
            ktsim::Fault fault = ktsim::Fault::None;
            if (!parseFault(split(argv[++i], ':'), address, fault, param)) {
                std::fprintf(stderr, "ktsim: bad fault: %s\n%s", argv[i], kUsage);
                return 2;
            }
            sim.setFault(address, fault, param);
        } else {
            std::fprintf(stderr, "ktsim: bad argument: %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (demo)
        for (const ktsim::ModuleSpec &spec : ktsim::Simulator::demoBus())
            sim.addModule(spec);
    std::vector<int> n;
    for (const std::string &arg : sets)
        if (!parseNumbers(arg, n, 3) || n[2] < 0 || n[2] > 0xFFFF || !sim.setReg(n[0], n[1], uint16_t(n[2]))) {
            std::fprintf(stderr, "ktsim: bad set (no such station or register?): %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    for (const std::string &arg : excursions)
        if (!parseNumbers(arg, n, 4) || n[3] <= 0 || n[3] > 86400 || !sim.setExcursion(n[0], n[1], n[2], n[3] * 1000)) {
            std::fprintf(stderr, "ktsim: bad excursion (no such station or reading?): %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    sim.setWireTime(wireTime);

    // Block the signals before the serving thread exists so that only the signalfd sees them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int sigFd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (sigFd < 0 || !sim.start(link)) {
        std::fprintf(stderr, "ktsim: cannot create the port: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", sim.portPath().c_str());
    std::fflush(stdout);

    pollfd fds[2] = {{sigFd, POLLIN, 0}, {stdinIsDevNull() ? -1 : 0, POLLIN, 0}};
    std::string pending;
    int unplugMs = -1; // set by an unplug command or signal
    long long plugAt = -1; // monotonic ms at which an unplugged port comes back
    const auto nowMs = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
    };
    for (;;) {
        if (unplugMs >= 0) {
            sim.unplug();
            plugAt = nowMs() + unplugMs;
            unplugMs = -1;
        }
        if (plugAt >= 0 && nowMs() >= plugAt) {
            if (!sim.plug()) {
                std::fprintf(stderr, "ktsim: cannot create the port again: %s\n", std::strerror(errno));
                return 1;
            }
            plugAt = -1;
        }
        if (poll(fds, 2, plugAt < 0 ? -1 : int(std::max(0LL, plugAt - nowMs()))) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(sigFd, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGUSR1)
                    unplugMs = kUnplugMs;
                else if (info.ssi_signo == SIGHUP)
                    sim.powerCycle();
                else
                    break;
            }
        }
        if (fds[1].revents) {
            char buf[256];
            const ssize_t n = read(0, buf, sizeof buf);
            if (n <= 0)
                break;
            pending.append(buf, size_t(n));
            size_t nl;
            bool quit = false;
            while (!quit && (nl = pending.find('\n')) != std::string::npos) {
                quit = !command(sim, pending.substr(0, nl), unplugMs);
                pending.erase(0, nl + 1);
            }
            if (quit)
                break;
        }
    }
    sim.stop();
    close(sigFd);
    return 0;
}
