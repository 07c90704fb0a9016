// tarvoctl as a technician runs it: the built program as a child process on
// the simulator's pty, judged by its stdout, stderr and exit status.
#include "minitest.h"
#include "simulator.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/wait.h>

namespace {

using ktsim::Fault;
using ktsim::ModuleType;

std::string contents(const char *path)
{
    std::ostringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

// The arguments, blank-separated; the exit status, stdout (exactly) and
// stderr (exactly when it ends a line, else contained; "" for nothing at all).
struct Row { std::string args; int status; std::string out, err; };

// Runs tarvoctl with nothing in its environment but TARVO_PORT, set to `port`
// unless it is empty.
void check(const std::string &port, const Row &row)
{
    const int status = std::system(("env -i " + (port.empty() ? "" : "TARVO_PORT=" + port + " ") + TARVOCTL " "
                                    + row.args + " >out.txt 2>err.txt").c_str());
    const std::string out = contents("out.txt"), err = contents("err.txt");
    const bool whole = row.err.empty() || row.err.back() == '\n';
    if ((WIFEXITED(status) ? WEXITSTATUS(status) : -1) != row.status || out != row.out
        || (whole ? err != row.err : err.find(row.err) == err.npos))
        minitest::fail(__FILE__, __LINE__, "tarvoctl " + row.args + ": exit " + std::to_string(status) + ", stdout:\n"
                                               + out + "stderr:\n" + err);
}

ktsim::Simulator demo; // the demo bus; 9 is empty, 12 answers every request with an exception

} // namespace

// In order: later rows see what earlier ones wrote.
TEST_CASE(commandsOnTheDemoBus)
{
    const Row rows[] = {
        {"--json read 1 hr 100", 0, "{\"station\":1,\"table\":\"hr\",\"address\":100,\"values\":[235]}\n", ""},
        {"write 1 co 5 1 0 1", 0, "wrote 3 coils at 5 to station 1\n", ""},
        {"read 1 di 5 3", 0, "di 5: 1\ndi 6: 0\ndi 7: 1\n", ""},
        {"--json write 1 hr 400 -15", 0, "{\"station\":1,\"table\":\"hr\",\"address\":400,\"count\":1}\n", ""},
        {"kt101 1", 0, "temperature 23.5 °C, offset -1.5 °C\n", ""},
        {"kt101 1 offset 0.3", 0, "offset set to 0.3 °C\n", ""},
        {"kt104 2 temps", 0,
         "channel 1: temperature 25.0 °C\nchannel 2: temperature error (65535)\n"
         "channel 3: temperature -10.0 °C\nchannel 4: temperature 0.0 °C\n", ""},
        {"kt104 2 offsets 0.3 -0.3 12.7 0", 0,
         "channel 1: offset set to 0.3 °C\nchannel 2: offset set to -0.3 °C\n"
         "channel 3: offset set to 12.7 °C\nchannel 4: offset set to 0.0 °C\n", ""},
        {"--json kt104 2", 0,
         "{\"station\":2,\"temperatures\":[25.0,null,-10.0,0.0],\"resistances\":[100.00,655.34,null,109.12],"
         "\"offsets\":[0.3,-0.3,12.7,0.0]}\n", ""},
        // A broadcast is not answered; offsets have no error value.
        {"write 0 hr 401 65535", 0, "wrote 1 holding register at 401 to every station (broadcast)\n", ""},
        {"kt104 2 offsets", 0,
         "channel 1: offset 0.3 °C\nchannel 2: offset -0.1 °C\nchannel 3: offset 12.7 °C\nchannel 4: offset 0.0 °C\n",
         ""},
        // A new rate is taken at the restart, which the module does not answer.
        {"set 3 baud 19200", 0,
         "station 3: baud rate 19200 written (register 2 := 4); it takes effect after a restart: tarvoctl restart 3\n",
         ""},
        {"restart 3", 0, "restart sent to station 3; check that it answers at its new settings\n", ""},
        {"-t 200 info 3", 1, "", "tarvoctl: station 3, info: no answer within 200 ms\n"},
        {"-b 19200 --json set 3 baud 9600", 0,
         "{\"station\":3,\"setting\":\"baud\",\"value\":9600,\"register\":2,\"code\":3}\n", ""},
        {"restart 12", 1, "", "tarvoctl: station 12, restart: Slave device or server failure\n"},
        // Failures: an exception, a missing port.
        {"read 1 hr 500", 1, "", "tarvoctl: station 1, read hr 500: Illegal data address\n"},
        {"-p /nonexistent/ttyX info 1", 1, "", "tarvoctl: /nonexistent/ttyX: No such file or directory\n"},
        // Frames on stderr, nothing else: the layer prints nothing.
        {"--debug read 1 hr 100", 0, "hr 100: 235\n", ">>  01 03 00 64 00 01 c5 d5\n<<  01 03 02 00 eb f8 0b\n"},
        {"--debug -t 200 read 9 hr 100", 1, "",
         ">>  09 03 00 64 00 01 c4 9d\ntarvoctl: station 9, read hr 100: no answer within 200 ms\n"},
        {"scan 5-12", 0,
         "station 5: address 5, 9600 baud, 8 data bits, parity N, 1 stop bit\n"
         "station 12: answers, but its settings could not be read: Slave device or server failure\n"
         "2 stations answer at 9600 8N1 (stations 5-12, 124 ms timeout)\n", ""},
        {"--json scan 5-5", 0,
         "{\"line\":\"9600 8N1\",\"first\":5,\"last\":5,\"timeoutMs\":124,\"stations\":[{\"station\":5,\"address\":5,"
         "\"baud\":9600,\"dataBits\":8,\"parity\":\"N\",\"stopBits\":1,\"registers\":[5,3,8,0,0]}]}\n", ""},
    };
    for (const Row &row : rows)
        check(demo.portPath(), row);
}

TEST_CASE(badArgumentsNeverReachTheWire)
{
    const struct { std::string args, message; } rows[] = {
        {"", "no command"},
        {"-x info 1", "unknown option -x"},
        {"read 248 hr 100", "station must be 1 to 247, not '248'"},
        {"read 1 hr 100 126", "count must be 1 to 125, not '126'"},
        {"read 1 hr 65535 2", "2 items from address 65535 run past address 65535"},
        {"write 1 hr 100 70000", "'70000' does not fit a register (-32768 to 65535, or 0x0 to 0xffff)"},
        {"write 1 hr 100 12abc", "'12abc' does not fit a register (-32768 to 65535, or 0x0 to 0xffff)"},
        {"write 1 co 0 2", "a coil takes 0 or 1, not '2'"},
        {"set 1 baud 14400", "baud rate must be one the modules take (1200 2400 4800 9600 19200 38400 56000 57600 115200), "
                             "not '14400'"},
        {"-t 0 info 1", "timeout (ms) must be 1 to 60000, not '0'"},
        {"scan 10-5", "last station must be 10 to 247, not '5'"},
        {"kt101 1 offset 12.9", "KT101 offsets are -12.8 to 12.8 degrees, not '12.9'"},
        {"kt101 1 offset nan", "KT101 offsets are -12.8 to 12.8 degrees, not 'nan'"},
        {"kt101 1 offset 1.25", "KT101 offsets go in tenths of a degree, not '1.25'"},
        {"kt104 2 offsets 0 0 0 12.8", "KT104 offsets are -12.7 to 12.7 degrees, not '12.8'"},
    };
    const uint64_t framesBefore = demo.framesReceived();
    for (const auto &row : rows)
        check(demo.portPath(), {row.args, 2, "", "tarvoctl: " + row.message + "; try 'tarvoctl --help'\n"});
    check("", {"info 1", 2, "", "tarvoctl: no port: give -p PORT or set TARVO_PORT; try 'tarvoctl --help'\n"});
    CHECK_EQ(demo.framesReceived(), framesBefore);
}

TEST_CASE(ownBuses)
{
    ktsim::Simulator lone, empty, late;
    lone.addModule({ModuleType::KT101, 7, 19200, 'N', 1});
    late.addModule({});
    late.setFault(1, Fault::Late, 3000);
    REQUIRE(lone.start() && empty.start() && late.start());
    check(lone.portPath(), {"-t 200 reset", 0,
                            "module found at 19200 N (attempt 5 of 18)\nfactory settings written at 19200 baud with "
                            "parity N and E: address 1, 9600 baud, 8 data bits, parity N, 1 stop bit\n"
                            "switch the module off and on to apply them\n",
                            "attempt 4 of 18, 9600 N\nreset: attempt 5 of 18, 19200 N"});
    check(empty.portPath(), {"-t 30 --json reset", 1,
                             "{\"error\":\"reset: no module answered at any rate with parity N or O; check the wiring, "
                             "and that the module is alone on the bus\",\"station\":null}\n",
                             "attempt 18 of 18, 115200 O\ntarvoctl: reset: no module answered"});
    // The adapter pulled out while the module takes its time to answer.
    std::thread pull([&late] {
        while (!late.framesReceived())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        late.unplug();
    });
    check(late.portPath(), {"-t 5000 read 1 hr 100", 1, "", "tarvoctl: " + late.portPath() + ": device removed\n"});
    pull.join();
}

int main()
{
    for (const ktsim::ModuleSpec &m : ktsim::Simulator::demoBus())
        demo.addModule(m);
    demo.addModule({ModuleType::KT101, 12});
    demo.setFault(12, Fault::Exception);
    // Readings pinned, so that the outputs are exact.
    demo.setReg(1, 100, 235);
    const uint16_t temps[] = {250, 0xFFFF, 65436, 0}, res[] = {10000, 65534, 0xFFFF, 10912};
    for (int ch = 0; ch < 4; ++ch) {
        demo.setReg(2, 100 + ch, temps[ch]);
        demo.setReg(2, 200 + ch, res[ch]);
    }
    return demo.start() ? minitest::runAll() : (std::perror("simulator"), 1);
}
