// The master against an independent slave: pymodbus serving unit 7 on one end
// of a socat pty pair, our master on the other. Without socat or pymodbus the
// test fails: scripts/setup-deps installs both.
#include "minitest.h"
#include "modbus.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const int unit = 7;

pid_t spawn(const char *const argv[], int stderrFd = -1)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stderrFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char *const *>(argv), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void stop(pid_t pid)
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

// socat's pty pair and the pymodbus slave on its far end.
struct Peer
{
    pid_t socat = -1, python = -1;
    std::string near, far;

    bool start()
    {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd))
            return false;
        near = std::string(cwd) + "/peer-near";
        far = std::string(cwd) + "/peer-far";
        unlink(near.c_str());
        unlink(far.c_str());
        int err[2];
        if (pipe(err) != 0)
            return false;
        const std::string a = "pty,raw,echo=0,link=" + near, b = "pty,raw,echo=0,link=" + far;
        const char *socatArgs[] = {"/usr/bin/socat", "-d", "-d", a.c_str(), b.c_str(), nullptr};
        socat = spawn(socatArgs, err[1]);
        close(err[1]);
        const bool ready = socat > 0 && waitFor(err[0], "starting data transfer loop");
        close(err[0]);
        if (!ready) {
            std::fprintf(stderr, "socat did not start\n");
            return false;
        }
        const std::string unitText = std::to_string(unit);
        const char *pyArgs[] = {"/usr/bin/python3", PEER_SCRIPT, far.c_str(), unitText.c_str(), nullptr};
        python = spawn(pyArgs);
        return python > 0;
    }

    // Reads the child's error stream until the line that says it is ready.
    static bool waitFor(int fd, const char *text)
    {
        std::string seen;
        char buf[256];
        pollfd p{fd, POLLIN, 0};
        while (seen.find(text) == std::string::npos) {
            if (poll(&p, 1, 10000) <= 0)
                return false;
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                return false;
            seen.append(buf, size_t(n));
        }
        return true;
    }

    ~Peer()
    {
        stop(python);
        stop(socat);
    }
};

Peer *peer = nullptr;

struct Free
{
    void operator()(modbus_t *ctx) const
    {
        modbus_close(ctx);
        modbus_free(ctx);
    }
};
using Context = std::unique_ptr<modbus_t, Free>;

Context connectPeer()
{
    Context ctx(modbus_new_rtu(peer->near.c_str(), 9600, 'N', 8, 1));
    if (!ctx || modbus_connect(ctx.get()) != 0)
        return nullptr;
    modbus_set_slave(ctx.get(), unit);
    modbus_set_response_timeout(ctx.get(), 1, 0);
    return ctx;
}

} // namespace

TEST_CASE(interopReadsAndWritesRegisters)
{
    Context ctx = connectPeer();
    REQUIRE(ctx);
    uint16_t r[3] = {};
    CHECK_EQ(modbus_read_registers(ctx.get(), 0, 3, r), 3);
    CHECK(r[0] == 1 && r[1] == 4 && r[2] == 7);
    CHECK_EQ(modbus_write_register(ctx.get(), 5, 0xBEEF), 1);
    CHECK_EQ(modbus_read_registers(ctx.get(), 5, 1, r), 1);
    CHECK_EQ(r[0], 0xBEEF);

    const uint16_t values[3] = {0x030A, 0x0D11, 0x13FF};
    CHECK_EQ(modbus_write_registers(ctx.get(), 10, 3, values), 3);
    CHECK_EQ(modbus_read_registers(ctx.get(), 10, 3, r), 3);
    CHECK(std::memcmp(r, values, sizeof r) == 0);
    CHECK_EQ(modbus_read_input_registers(ctx.get(), 1, 2, r), 2);
    CHECK(r[0] == 1001 && r[1] == 1002);
}

TEST_CASE(interopReadsAndWritesCoilsAndGetsExceptions)
{
    Context ctx = connectPeer();
    REQUIRE(ctx);
    const uint8_t bits[11] = {1, 0, 1, 1, 0, 0, 0, 0, 1, 0, 1};
    CHECK_EQ(modbus_write_bits(ctx.get(), 3, 11, bits), 11);
    uint8_t back[11] = {};
    CHECK_EQ(modbus_read_bits(ctx.get(), 3, 11, back), 11);
    CHECK(std::memcmp(back, bits, sizeof back) == 0);
    CHECK_EQ(modbus_write_bit(ctx.get(), 4, 1), 1);
    CHECK_EQ(modbus_read_bits(ctx.get(), 4, 1, back), 1);
    CHECK_EQ(back[0], 1);
    CHECK_EQ(modbus_read_input_bits(ctx.get(), 0, 3, back), 3);
    CHECK(back[0] == 0 && back[1] == 0 && back[2] == 0);

    uint16_t r = 0;
    CHECK_EQ(modbus_read_registers(ctx.get(), 250, 1, &r), -1);
    CHECK_EQ(errno, MODBUS_ERR_ILLEGAL_DATA_ADDRESS);
    CHECK_EQ(modbus_read_registers(ctx.get(), 0, 1, &r), 1); // usable right after
}

int main(int argc, char **argv)
{
    Peer p;
    if (!p.start())
        return 1;
    peer = &p;
    // The peer opens its end when Python has loaded pymodbus; until then
    // requests go unanswered. Wait for its first answer (at most ~20 s).
    Context probe = connectPeer();
    if (!probe)
        return 1;
    modbus_set_response_timeout(probe.get(), 0, 200000);
    uint16_t v = 0;
    bool up = false;
    for (int attempt = 0; attempt < 100 && !up; ++attempt) {
        if (waitpid(p.python, nullptr, WNOHANG) == p.python) {
            p.python = -1;
            break; // it died: no pymodbus, most likely
        }
        up = modbus_read_registers(probe.get(), 0, 1, &v) == 1;
    }
    probe.reset();
    if (!up) {
        std::fprintf(stderr, "the pymodbus peer never answered\n");
        return 1;
    }
    return minitest::runAll(argc, argv);
}
