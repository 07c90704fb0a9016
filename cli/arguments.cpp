#include "arguments.h"

#include "modbus.h"
#include "modules.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tarvoctl {

const char usageText[] =
    "usage: tarvoctl [-p PORT] [-b BAUD] [-P N|E|O] [-s 1|2] [-t TIMEOUT_MS] [--debug] [--json] COMMAND ...\n"
    "  read STATION hr|ir|co|di ADDR [COUNT]  holding or input registers, coils, discrete inputs\n"
    "  write STATION hr|co ADDR VALUE...     registers (-32768 to 65535, or 0x hex) or coils (0, 1)\n"
    "  info STATION                          a module's address and line settings\n"
    "  set STATION addr N | baud RATE | stop 1|2 | parity N|O|E\n"
    "                                        change one; the module takes it after a restart\n"
    "  restart STATION                       restart a module (it restarts without answering)\n"
    "  scan [FIRST-LAST]                     the stations that answer (default 1-247)\n"
    "  reset                                 find a lone module at any rate, write its factory settings\n"
    "  kt101 STATION [temp | offset [VALUE]]\n"
    "  kt104 STATION [temps | res | offsets [V1 V2 V3 V4]]\n"
    "                                        temperatures, PT100 resistances, calibration offsets\n"
    "The line is 9600 8N1 with a 1000 ms response timeout unless given (scan: 100 ms\n"
    "plus the frames' time on the wire); the port is -p or $TARVO_PORT. Station 0\n"
    "broadcasts (write, set, restart). --json prints one JSON object per command,\n"
    "a failure too ({\"error\": ..., \"station\": ...}); --debug every frame on stderr.\n"
    "Exit status: 0 done, 1 bus or line error, 2 usage.\n";

const char *tableName(Table t)
{
    static const char *const names[] = {"hr", "ir", "co", "di"};
    return names[int(t)];
}

namespace {

bool fail(std::string &error, const std::string &message)
{
    error = message;
    return false;
}

bool toLong(const std::string &s, int base, long &out)
{
    if (s.empty() || std::isspace(static_cast<unsigned char>(s[0])))
        return false;
    char *end = nullptr;
    errno = 0;
    out = std::strtol(s.c_str(), &end, base);
    return *end == '\0' && errno == 0;
}

bool number(const std::string &s, const std::string &what, long min, long max, int &out, std::string &error)
{
    long v = 0;
    if (!toLong(s, 10, v) || v < min || v > max)
        return fail(error, what + " must be " + std::to_string(min) + " to " + std::to_string(max) + ", not '" + s
                               + "'");
    out = int(v);
    return true;
}

bool station(const std::string &s, bool broadcast, Invocation &inv, std::string &error)
{
    return number(s, "station", broadcast ? MODBUS_BROADCAST_ADDRESS : 1, MODBUS_MAX_SLAVE_ADDRESS, inv.station,
                  error);
}

bool baudRate(const std::string &s, int &out, std::string &error)
{
    long v = 0;
    if (toLong(s, 10, v) && v > 0 && v <= 1000000 && kt::codeForBaud(int(v)) >= 0) {
        out = int(v);
        return true;
    }
    std::string rates;
    for (int rate : kt::BaudRates)
        rates += " " + std::to_string(rate);
    return fail(error, "baud rate must be one the modules take (" + rates.substr(1) + "), not '" + s + "'");
}

bool parity(const std::string &s, char &out, std::string &error)
{
    const char c = s.size() == 1 ? char(std::toupper(static_cast<unsigned char>(s[0]))) : '\0';
    if (kt::codeForParity(c) < 0)
        return fail(error, "parity must be N, E or O, not '" + s + "'");
    out = c;
    return true;
}

// ADDR and COUNT of a request on `table`: the count within the per-request
// limit and the last item within the address space.
bool span(const std::string &addr, int count, Invocation &inv, std::string &error)
{
    if (!number(addr, "address", 0, 65535, inv.address, error))
        return false;
    if (inv.address + count - 1 > 65535)
        return fail(error, std::to_string(count) + " items from address " + addr + " run past address 65535");
    inv.count = count;
    return true;
}

bool table(const std::string &s, bool forWrite, Table &out, std::string &error)
{
    const Table all[] = {Table::Holding, Table::Input, Table::Coils, Table::DiscreteInputs};
    for (Table t : all)
        if (s == tableName(t) && (!forWrite || t == Table::Holding || t == Table::Coils)) {
            out = t;
            return true;
        }
    return fail(error, forWrite ? "write takes hr or co, not '" + s + "'" : "read takes hr, ir, co or di, not '" + s + "'");
}

bool writeValue(const std::string &s, Table t, std::vector<uint16_t> &out, std::string &error)
{
    if (t == Table::Coils) {
        if (s != "0" && s != "1")
            return fail(error, "a coil takes 0 or 1, not '" + s + "'");
        out.push_back(uint16_t(s == "1"));
        return true;
    }
    uint16_t reg = 0;
    if (!kt::parseRegisterValue(s, reg))
        return fail(error, "'" + s + "' does not fit a register (-32768 to 65535, or 0x0 to 0xffff)");
    out.push_back(reg);
    return true;
}

// An offset in whole tenths of a degree, within the model's range.
bool offset(const std::string &s, double limit, const char *model, std::vector<uint16_t> &out, std::string &error)
{
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end || !std::isfinite(v) || std::fabs(v) > 1000
        || std::labs(std::lround(v * 10)) > std::lround(limit * 10)) {
        char range[64];
        std::snprintf(range, sizeof range, " offsets are -%.1f to %.1f degrees, not '", limit, limit);
        return fail(error, model + (range + s) + "'");
    }
    // The module keeps tenths: 1.25 would go out as 1.3 without a word.
    if (std::fabs(v * 10 - double(std::lround(v * 10))) > 1e-6)
        return fail(error, std::string(model) + " offsets go in tenths of a degree, not '" + s + "'");
    out.push_back(kt::offsetRegister(v));
    return true;
}

bool setting(const std::vector<std::string> &a, Invocation &inv, std::string &error)
{
    inv.setting = a[1];
    const std::string &v = a[2];
    int value = 0, code = 0;
    if (a[1] == "addr") {
        if (!number(v, "station address", kt::MinStation, kt::MaxStation, value, error))
            return false;
        inv.address = kt::RegStation, code = value;
    } else if (a[1] == "baud") {
        if (!baudRate(v, value, error))
            return false;
        inv.address = kt::RegBaudCode, code = kt::codeForBaud(value);
    } else if (a[1] == "stop") {
        if (!number(v, "stop bits", 1, 2, value, error))
            return false;
        inv.address = kt::RegStopCode, code = kt::codeForStopBits(value);
    } else if (a[1] == "parity") {
        char p = 0;
        if (!parity(v, p, error))
            return false;
        inv.address = kt::RegParityCode, code = kt::codeForParity(p);
        inv.settingText = std::string(1, p);
    } else {
        return fail(error, "set takes addr, baud, stop or parity, not '" + a[1] + "'");
    }
    if (inv.settingText.empty())
        inv.settingText = std::to_string(value);
    inv.values = {uint16_t(code)};
    return true;
}

bool scanRange(const std::string &s, Invocation &inv, std::string &error)
{
    const std::size_t dash = s.find('-');
    if (dash == std::string::npos)
        return fail(error, "scan takes a range FIRST-LAST, not '" + s + "'");
    if (!number(s.substr(0, dash), "first station", 1, MODBUS_MAX_SLAVE_ADDRESS, inv.first, error)
        || !number(s.substr(dash + 1), "last station", inv.first, MODBUS_MAX_SLAVE_ADDRESS, inv.last, error))
        return false;
    return true;
}

bool kt101(const std::vector<std::string> &a, Invocation &inv, std::string &error)
{
    if (a.size() == 1)
        return true;
    if (a[1] == "temp" && a.size() == 2)
        return inv.group = Group::Temperatures, true;
    if (a[1] == "offset") {
        inv.group = Group::Offsets;
        return a.size() == 2 || (a.size() == 3 && offset(a[2], kt::Kt101OffsetLimit, "KT101", inv.values, error));
    }
    return fail(error, "kt101 takes STATION [temp | offset [VALUE]]");
}

bool kt104(const std::vector<std::string> &a, Invocation &inv, std::string &error)
{
    if (a.size() == 1)
        return true;
    if (a[1] == "temps" && a.size() == 2)
        return inv.group = Group::Temperatures, true;
    if (a[1] == "res" && a.size() == 2)
        return inv.group = Group::Resistances, true;
    if (a[1] == "offsets" && (a.size() == 2 || a.size() == 2 + kt::Kt104Channels)) {
        inv.group = Group::Offsets;
        for (std::size_t i = 2; i < a.size(); ++i)
            if (!offset(a[i], kt::Kt104OffsetLimit, "KT104", inv.values, error))
                return false;
        return true;
    }
    return fail(error, "kt104 takes STATION [temps | res | offsets [V1 V2 V3 V4]]");
}

bool command(const std::string &name, const std::vector<std::string> &a, Invocation &inv, std::string &error)
{
    auto takes = [&](std::size_t min, std::size_t max, const char *shape) {
        return (a.size() >= min && a.size() <= max) || fail(error, name + " takes " + shape);
    };
    if (name == "read") {
        inv.action = Action::Read;
        int count = 1;
        return takes(3, 4, "STATION hr|ir|co|di ADDR [COUNT]") && station(a[0], false, inv, error)
               && table(a[1], false, inv.table, error)
               && (a.size() == 3
                   || number(a[3], "count", 1, inv.table == Table::Holding || inv.table == Table::Input
                                                   ? MODBUS_MAX_READ_REGISTERS : MODBUS_MAX_READ_BITS,
                             count, error))
               && span(a[2], count, inv, error);
    }
    if (name == "write") {
        inv.action = Action::Write;
        if (!takes(4, std::size_t(-1), "STATION hr|co ADDR VALUE...") || !station(a[0], true, inv, error)
            || !table(a[1], true, inv.table, error))
            return false;
        const std::size_t limit = inv.table == Table::Coils ? MODBUS_MAX_WRITE_BITS : MODBUS_MAX_WRITE_REGISTERS;
        if (a.size() - 3 > limit)
            return fail(error, "at most " + std::to_string(limit) + " values in one write to " + a[1]);
        for (std::size_t i = 3; i < a.size(); ++i)
            if (!writeValue(a[i], inv.table, inv.values, error))
                return false;
        return span(a[2], int(inv.values.size()), inv, error);
    }
    if (name == "info") {
        inv.action = Action::Info;
        return takes(1, 1, "STATION") && station(a[0], false, inv, error);
    }
    if (name == "set") {
        inv.action = Action::Set;
        return takes(3, 3, "STATION addr N | baud RATE | stop 1|2 | parity N|O|E") && station(a[0], true, inv, error)
               && setting(a, inv, error);
    }
    if (name == "restart") {
        inv.action = Action::Restart;
        return takes(1, 1, "STATION") && station(a[0], true, inv, error);
    }
    if (name == "scan") {
        inv.action = Action::Scan;
        return takes(0, 1, "[FIRST-LAST]") && (a.empty() || scanRange(a[0], inv, error));
    }
    if (name == "reset") {
        inv.action = Action::Reset;
        return takes(0, 0, "no arguments");
    }
    if (name == "kt101" || name == "kt104") {
        inv.action = name == "kt101" ? Action::Kt101 : Action::Kt104;
        return takes(1, 2 + kt::Kt104Channels, "STATION and what to read or write")
               && station(a[0], false, inv, error) && (name == "kt101" ? kt101(a, inv, error) : kt104(a, inv, error));
    }
    return fail(error, "unknown command '" + name + "'");
}

} // namespace

bool parseArguments(const std::vector<std::string> &args, const char *envPort, Invocation &inv, std::string &error)
{
    std::size_t i = 0;
    auto value = [&](std::string &v) {
        if (i + 1 >= args.size())
            return fail(error, "option " + args[i] + " needs a value");
        v = args[++i];
        return true;
    };
    for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
        const std::string opt = args[i];
        std::string v;
        bool ok = true;
        if (opt == "-h" || opt == "--help")
            return inv.action = Action::Help, true;
        if (opt == "--debug")
            inv.debug = true;
        else if (opt == "--json")
            inv.json = true;
        else if (opt == "-p")
            ok = value(inv.port);
        else if (opt == "-b")
            ok = value(v) && baudRate(v, inv.baud, error);
        else if (opt == "-P")
            ok = value(v) && parity(v, inv.parity, error);
        else if (opt == "-s")
            ok = value(v) && number(v, "stop bits", 1, 2, inv.stopBits, error);
        else if (opt == "-t") {
            ok = value(v) && number(v, "timeout (ms)", 1, 60000, inv.timeoutMs, error);
            inv.timeoutGiven = true;
        }
        else
            ok = fail(error, "unknown option " + opt);
        if (!ok)
            return false;
    }
    if (i == args.size())
        return fail(error, "no command");
    if (!command(args[i], std::vector<std::string>(args.begin() + long(i) + 1, args.end()), inv, error))
        return false;
    if (inv.port.empty() && envPort)
        inv.port = envPort;
    return !inv.port.empty() || fail(error, "no port: give -p PORT or set TARVO_PORT");
}

} // namespace tarvoctl
