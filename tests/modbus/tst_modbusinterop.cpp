// The master against an independent slave: pymodbus serving unit 7 on one end
// of a socat pty pair, our master on the other (peer-near, in the working
// directory). Without socat or pymodbus the test fails: scripts/setup-deps
// installs both.
#include "minitest.h"
#include "rig.h"

#include <cerrno>
#include <csignal>
#include <cstring>

TEST_CASE(interopReadsAndWritesRegisters)
{
    // The shell prints the pids of socat and of pymodbus, started once both
    // ends of the pair exist.
    FILE *shell = popen("rm -f peer-near peer-far; /usr/bin/socat pty,raw,echo=0,link=peer-near pty,raw,echo=0,link=peer-far "
                        ">/dev/null 2>&1 & echo $!; for i in $(seq 100); do [ -e peer-near ] && [ -e peer-far ] && break; "
                        "sleep 0.05; done; /usr/bin/python3 " PEER_SCRIPT " peer-far 7 >/dev/null 2>&1 & echo $!", "r");
    pid_t pids[2] = {0, 0};
    const bool launched = std::fscanf(shell, "%d %d", &pids[0], &pids[1]) == 2;
    pclose(shell);
    // pymodbus answers once Python has loaded it: wait for that (at most ~20 s).
    Context ctx = launched ? openBus("peer-near", 7, 200) : nullptr;
    uint16_t r[3] = {};
    for (int attempt = 0; ctx && attempt < 100 && modbus_read_registers(ctx.get(), 0, 3, r) != 3; ++attempt)
        ;
    CHECK(r[0] == 1 && r[1] == 4 && r[2] == 7);
    const uint16_t values[3] = {0x030A, 0x0D11, 0x13FF};
    CHECK(ctx && modbus_write_register(ctx.get(), 5, 0xBEEF) == 1 && modbus_read_registers(ctx.get(), 5, 1, r) == 1 && r[0] == 0xBEEF);
    CHECK(ctx && modbus_write_registers(ctx.get(), 10, 3, values) == 3);
    CHECK(ctx && modbus_read_registers(ctx.get(), 10, 3, r) == 3 && std::memcmp(r, values, sizeof r) == 0);
    CHECK(ctx && modbus_read_input_registers(ctx.get(), 1, 2, r) == 2 && r[0] == 1001 && r[1] == 1002);
    CHECK(ctx && modbus_read_registers(ctx.get(), 250, 1, r) == -1 && errno == MODBUS_ERR_ILLEGAL_DATA_ADDRESS);
    for (pid_t pid : pids)
        if (pid > 0)
            kill(pid, SIGTERM);
}

MINITEST_MAIN
