// The master against an independent slave: pymodbus serving unit 7 on one end
// of a socat pty pair, our master on the other. Without socat or pymodbus the
// test fails: scripts/setup-deps installs both.
#include "minitest.h"
#include "rig.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <sys/wait.h>

namespace {

const int unit = 7;
const char *const nearEnd = "peer-near"; // in the test's own working directory

// Runs a command through the shell, which first prints its pid, the
// command's once it execs.
FILE *launch(const std::string &command, pid_t &pid)
{
    FILE *out = popen(("echo $$; exec " + command).c_str(), "r");
    char line[32];
    pid = out && std::fgets(line, sizeof line, out) ? pid_t(std::atol(line)) : -1;
    return out;
}

} // namespace

TEST_CASE(interopReadsAndWritesRegisters)
{
    Context ctx = openBus(nearEnd, unit, 1000);
    REQUIRE(ctx);
    uint16_t r[3] = {};
    const uint16_t values[3] = {0x030A, 0x0D11, 0x13FF};
    CHECK(modbus_read_registers(ctx.get(), 0, 3, r) == 3 && r[0] == 1 && r[1] == 4 && r[2] == 7);
    CHECK(modbus_write_register(ctx.get(), 5, 0xBEEF) == 1 && modbus_read_registers(ctx.get(), 5, 1, r) == 1 && r[0] == 0xBEEF);
    CHECK_EQ(modbus_write_registers(ctx.get(), 10, 3, values), 3);
    CHECK(modbus_read_registers(ctx.get(), 10, 3, r) == 3 && std::memcmp(r, values, sizeof r) == 0);
    CHECK(modbus_read_input_registers(ctx.get(), 1, 2, r) == 2 && r[0] == 1001 && r[1] == 1002);
    CHECK(modbus_read_registers(ctx.get(), 250, 1, r) == -1 && errno == MODBUS_ERR_ILLEGAL_DATA_ADDRESS);
}

int main(int argc, char **argv)
{
    pid_t socat = -1, python = -1;
    FILE *socatOut = launch("/usr/bin/socat -d -d pty,raw,echo=0,link=peer-near pty,raw,echo=0,link=peer-far 2>&1", socat);
    char line[512];
    bool ready = false; // socat says when both ends exist
    while (!ready && socatOut && std::fgets(line, sizeof line, socatOut))
        ready = std::strstr(line, "starting data transfer loop");
    FILE *pythonOut = ready ? launch(std::string("/usr/bin/python3 ") + PEER_SCRIPT + " peer-far " + std::to_string(unit), python) : nullptr;
    // pymodbus opens its end once Python has loaded it; until then requests
    // go unanswered. Wait for its first answer (at most ~20 s).
    Context probe = pythonOut ? openBus(nearEnd, unit, 200) : nullptr;
    uint16_t v = 0;
    bool up = false;
    for (int attempt = 0; probe && attempt < 100 && !up && waitpid(python, nullptr, WNOHANG) == 0; ++attempt)
        up = modbus_read_registers(probe.get(), 0, 1, &v) == 1;
    probe.reset();
    const int rc = up ? minitest::runAll(argc, argv) : (std::fprintf(stderr, "the pymodbus peer never answered\n"), 1);
    for (pid_t pid : {python, socat})
        if (pid > 0)
            kill(pid, SIGTERM);
    for (FILE *out : {pythonOut, socatOut})
        if (out)
            pclose(out);
    return rc;
}
