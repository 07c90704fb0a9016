// The ktsim program as scripts and the demo use it: options, standard input
// commands, signals, and its exit.
#include "minitest.h"
#include "ptyclient.h"

#include <csignal>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>

namespace {

// A running ktsim with a pipe on its standard input and one on its output.
struct Ktsim
{
    pid_t pid = -1;
    int in = -1; // its standard input
    int out = -1; // its standard output

    // nullInput: standard input from /dev/null, as for a background job.
    explicit Ktsim(std::vector<std::string> args, bool nullInput = false)
    {
        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(nullInput ? open("/dev/null", O_RDONLY) : toChild[0], 0);
            dup2(fromChild[1], 1);
            for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]})
                close(fd);
            std::vector<char *> argv{const_cast<char *>(KTSIM_PATH)};
            for (std::string &a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(KTSIM_PATH, argv.data());
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        in = toChild[1];
        out = fromChild[0];
    }

    ~Ktsim()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (int fd : {in, out})
            if (fd >= 0)
                close(fd);
    }

    // Its output up to the first newline (or what there is at the end).
    std::string line(int timeoutMs = 5000)
    {
        std::string s;
        char c;
        pollfd p{out, POLLIN, 0};
        while (poll(&p, 1, timeoutMs) > 0 && read(out, &c, 1) == 1 && c != '\n')
            s += c;
        return s;
    }

    void say(const std::string &text) { CHECK(write(in, text.data(), text.size()) == ssize_t(text.size())); }

    // Exit status, or -1 when it does not end within the time.
    int exitCode(int timeoutMs = 5000)
    {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
};

// A link path in the working directory, unique to this run.
std::string linkHere()
{
    char buf[4096];
    return std::string(getcwd(buf, sizeof buf) ? buf : ".") + "/ttyKT" + std::to_string(getpid());
}

// Commands reach the program asynchronously: ask until the bus shows the change.
template <typename Pred>
bool answersWithin(Port &port, const Bytes &req, Pred shows, int timeoutMs = 5000)
{
    for (int waited = 0; waited < timeoutMs; waited += 100)
        if (shows(port.exchange(req, 100)))
            return true;
    return false;
}

bool isReading(const Bytes &a) { return a.size() == 7 && crcOk(a); }

} // namespace

TEST_CASE(servesTheDemoBusAndTakesCommands)
{
    const std::string link = linkHere();
    Ktsim sim({"--link", link});
    REQUIRE(sim.line() == link);
    Port port(link);
    REQUIRE(port.fd >= 0);
    for (int station = 1; station <= 5; ++station)
        CHECK_EQ(port.exchange(request(station, 3, 100, 1)).size(), 7u);
    CHECK_EQ(port.exchange(request(2, 3, 200, 4)).size(), 13u);
    CHECK(port.exchange(request(6, 3, 100, 1)).empty());

    CHECK(port.exchange(request(1, 6, 1, 21)) == request(1, 6, 1, 21));
    sim.say("power\n");
    CHECK(answersWithin(port, request(21, 3, 100, 1), isReading));

    sim.say("set 2 103 65535\n");
    CHECK(answersWithin(port, request(2, 3, 103, 1), [](const Bytes &a) { return a == withCrc({2, 3, 2, 0xFF, 0xFF}); }));

    sim.say("fault 3 exception 2\n");
    CHECK(answersWithin(port, request(3, 3, 100, 1), [](const Bytes &a) { return exceptionOf(a) == 2; }));

    sim.say("quit\n");
    CHECK_EQ(sim.exitCode(), 0);
    struct stat st;
    CHECK(lstat(link.c_str(), &st) != 0); // the link goes with the port
}

TEST_CASE(optionsChooseModulesAndFaultsAndSignalsAct)
{
    Ktsim sim({"--module", "kt104:7:19200:O:2", "--module", "humidity:8:19200:O:2", "--fault",
               "7:exception:3", "--wire-time"});
    const std::string path = sim.line();
    REQUIRE(!path.empty());
    Port port(path, B19200, true, true);
    CHECK_EQ(exceptionOf(port.exchange(request(7, 3, 100, 4))), 3);
    CHECK_EQ(port.exchange(request(8, 3, 100, 1)).size(), 7u);
    CHECK(port.exchange(request(1, 3, 100, 1)).empty()); // no demo bus

    // SIGHUP power-cycles: the new address takes effect.
    CHECK(port.exchange(request(8, 6, 1, 9)) == request(8, 6, 1, 9));
    kill(sim.pid, SIGHUP);
    CHECK(answersWithin(port, request(9, 3, 100, 1), isReading));

    kill(sim.pid, SIGTERM);
    CHECK_EQ(sim.exitCode(), 0);
}

TEST_CASE(endOfInputQuitsAndBadArgumentsAreRefused)
{
    {
        Ktsim sim({});
        REQUIRE(!sim.line().empty());
        close(sim.in);
        sim.in = -1;
        CHECK_EQ(sim.exitCode(), 0);
    }
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--module", "kt102:1"}, {"--module", "kt101:0"}, {"--module", "kt101:1:9600:X"},
          {"--fault", "1:sparks"}, {"--fault", "1:late:-5"}, {"--link"}, {"--verbose"}}) {
        Ktsim sim(args);
        CHECK_EQ(sim.exitCode(), 2);
        CHECK(sim.line(100).empty()); // no port was offered
    }
    // In the background with /dev/null for input it serves until a signal.
    {
        Ktsim sim({"--module", "voltage:4"}, true);
        Port port(sim.line());
        CHECK_EQ(port.exchange(request(4, 3, 100, 1)).size(), 7u);
        CHECK_EQ(sim.exitCode(300), -1);
        CHECK_EQ(port.exchange(request(4, 3, 100, 1)).size(), 7u);
        kill(sim.pid, SIGINT);
        CHECK_EQ(sim.exitCode(), 0);
    }
    Ktsim help({"--help"});
    CHECK(help.line().find("usage: ktsim") == 0);
    CHECK_EQ(help.exitCode(), 0);
}

MINITEST_MAIN
