// Runs the bus cases on a COM port (under wine: mapped onto the simulator's
// pty by scripts/test-windows), plus what only the Win32 line does: names
// above COM9, exclusive open, the settings put back on close, the DCB
// reaching the line.
//
//   tst_modbusbus_win32 PORT PORT_ABOVE_COM9
//
// Both names lead to the bus laid out at the top of bustests.cpp, plus
//   --module kt101:20:9600:O:1 --module kt101:21:9600:N:2 --module kt101:22:19200:N:1
#include "minitest.h"
#include "rig.h"

#include <windows.h>

#include <cerrno>
#include <string>

namespace {

std::string port, highPort;
const int responseMs = 200;

// The rate the port is left at, as another program opening it finds it.
DWORD currentBaud(const std::string &name)
{
    HANDLE h = CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    const bool ok = h != INVALID_HANDLE_VALUE && GetCommState(h, &dcb);
    CloseHandle(h);
    return ok ? dcb.BaudRate : 0;
}

} // namespace

const char *busPort() { return port.c_str(); }

TEST_CASE(winOpensPortsAboveCom9OnlyOnceAndReportsAMissingOne)
{
    for (const std::string &name : {highPort, "\\\\.\\" + highPort}) {
        Context ctx = openBus(name, 1, responseMs);
        CHECK(ctx && stationOf(ctx.get(), 1) == 1);
    }
    Context first = openBus(port, 1, responseMs);
    REQUIRE(first);
    for (const std::string &name : {port, "\\\\.\\" + port})
        CHECK(!openBus(name, 1, responseMs) && errno == EBUSY);
    CHECK_EQ(stationOf(first.get(), 1), 1); // the refused open took nothing from the first
    CHECK(!openBus("COM77", 1, responseMs) && errno == ENOENT);
}

// Each of stations 20..22 hears only its own settings, and every close puts
// the port's own back.
TEST_CASE(winLineSettingsReachTheModulesAndGoBackOnClose)
{
    const DWORD before = currentBaud(port);
    REQUIRE(before != 0);
    const struct { int baud; char parity; int stop; int hears; } rows[] = {
        {9600, 'O', 1, 20}, {9600, 'N', 2, 21}, {19200, 'N', 1, 22}, {19200, 'N', 1, 22}};
    for (const auto &row : rows) {
        Context ctx = openBus(port, row.hears, responseMs, row.baud, row.parity, row.stop);
        REQUIRE(ctx);
        for (int station = 20; station <= 22; ++station)
            CHECK_EQ(stationOf(ctx.get(), station), station == row.hears ? station : -1);
        CHECK_EQ(errno, ETIMEDOUT);
        ctx.reset();
        CHECK_EQ(currentBaud(port), before);
    }
}

int main(int argc, char **argv)
{
    if (argc != 3)
        return std::fprintf(stderr, "usage: %s PORT PORT_ABOVE_COM9\n", argv[0]), 2;
    port = argv[1], highPort = argv[2];
    return minitest::runAll();
}
