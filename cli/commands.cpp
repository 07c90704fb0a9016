#include "commands.h"

#include "modbus.h"
#include "modules.h"
#include "resetsweep.h"

#include <cerrno>
#include <functional>
#include <vector>

namespace tarvoctl {

namespace {

// Just the JSON the reports need: objects of numbers, strings, null and lists.
std::string jsonString(const std::string &s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + '"';
}

std::string jsonList(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &item : items)
        out += (out.empty() ? "" : ",") + item;
    return "[" + out + "]";
}

class Json
{
public:
    Json &add(const std::string &key, const std::string &value)
    {
        body_ += (body_.empty() ? "" : ",") + jsonString(key) + ":" + value;
        return *this;
    }
    Json &add(const std::string &key, long value) { return add(key, std::to_string(value)); }
    std::string str() const { return "{" + body_ + "}"; }

private:
    std::string body_;
};

std::string fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void emit(const Console &con, const std::string &text, const Json &json)
{
    std::fputs(con.json ? (json.str() + "\n").c_str() : text.c_str(), con.out);
    std::fflush(con.out);
}

int complain(const Console &con, const std::string &message, int station = NoStation)
{
    reportFailure(con, message, station);
    return ExitBus;
}

std::string who(int station)
{
    return station == MODBUS_BROADCAST_ADDRESS ? "every station (broadcast)" : "station " + std::to_string(station);
}

// Whether a failed request was answered (an exception, or a frame the layer
// refused) rather than met by silence or a line failure.
bool answered(int error) { return error > MODBUS_ERR_BASE && error != MODBUS_ERR_TOO_MANY_DATA; }

// The line's settings in the usual short form, "9600 8N1".
std::string lineText(const Invocation &inv)
{
    return std::to_string(inv.baud) + " 8" + inv.parity + std::to_string(inv.stopBits);
}

// Registers 1..5 of a module, as a sentence and as JSON fields.
std::string commText(const uint16_t regs[kt::CommRegisterCount])
{
    const kt::CommSettings s = kt::decodeCommSettings(regs);
    auto unknown = [&](const char *what, int reg) {
        return "unknown " + std::string(what) + " code " + std::to_string(regs[reg - 1]);
    };
    return "address " + std::to_string(s.station) + ", "
           + (s.baud ? std::to_string(s.baud) + " baud" : unknown("baud", kt::RegBaudCode)) + ", "
           + std::to_string(s.dataBits) + " data bits, "
           + (s.parity ? std::string("parity ") + s.parity : unknown("parity", kt::RegParityCode)) + ", "
           + (s.stopBits == 1 ? "1 stop bit"
              : s.stopBits ? std::to_string(s.stopBits) + " stop bits" : unknown("stop-bits", kt::RegStopCode));
}

Json &addComm(Json &json, const uint16_t regs[kt::CommRegisterCount])
{
    const kt::CommSettings s = kt::decodeCommSettings(regs);
    auto orNull = [](int v, const std::string &text) { return v ? text : "null"; };
    std::vector<std::string> raw;
    for (int i = 0; i < kt::CommRegisterCount; ++i)
        raw.push_back(std::to_string(regs[i]));
    return json.add("address", s.station)
        .add("baud", orNull(s.baud, std::to_string(s.baud)))
        .add("dataBits", s.dataBits)
        .add("parity", orNull(s.parity, jsonString(std::string(1, s.parity))))
        .add("stopBits", orNull(s.stopBits, std::to_string(s.stopBits)))
        .add("registers", jsonList(raw));
}

// A frame as the frame log shows it: the arrow, then each byte as two
// lowercase hex digits after a blank (">>  01 03 00 64 00 01 c5 d5").
std::string frameLine(const char *arrow, const uint8_t *frame, int length)
{
    std::string line = arrow;
    for (int i = 0; i < length && i < MODBUS_CAPTURE_SIZE; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02x", frame[i]);
        line += byte;
    }
    return line + (length > MODBUS_CAPTURE_SIZE ? " ...\n" : "\n");
}

// The connection of one command; with --debug it captures the frames.
class Bus
{
public:
    Bus(const Invocation &inv, const Console &con) : inv_(inv), con_(con) {}
    ~Bus()
    {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    bool open(int timeoutMs)
    {
        timeoutMs_ = timeoutMs;
        ctx_ = modbus_new_rtu(inv_.port.c_str(), inv_.baud, inv_.parity, 8, inv_.stopBits);
        if (ctx_) {
            modbus_set_response_timeout(ctx_, uint32_t(timeoutMs / 1000), uint32_t(timeoutMs % 1000 * 1000));
            if (modbus_connect(ctx_) == 0)
                return true;
        }
        const int error = errno;
        modbus_free(ctx_);
        ctx_ = nullptr;
        complain(con_, inv_.port + ": " + modbus_strerror(error));
        return false;
    }

    // One request to `station`; its result, with errno as it left it.
    int exchange(int station, const std::function<int(modbus_t *)> &request)
    {
        modbus_set_slave(ctx_, station);
        modbus_set_capture(ctx_, inv_.debug); // empty: what it holds next went on the wire now
        const int rc = request(ctx_);
        if (inv_.debug) {
            const int error = errno;
            uint8_t frame[MODBUS_CAPTURE_SIZE];
            int length = 0;
            modbus_get_last_request(ctx_, frame, &length);
            if (length > 0)
                std::fputs(frameLine(">> ", frame, length).c_str(), con_.err);
            modbus_get_last_response(ctx_, frame, &length);
            if (length > 0)
                std::fputs(frameLine("<< ", frame, length).c_str(), con_.err);
            errno = error;
        }
        return rc;
    }

    // Reports the failure the last exchange left in errno. Silence is said
    // in our own words: "Connection timed out" means little on a serial bus,
    // and Windows' C library has no text for the number at all.
    int failed(int station, const std::string &operation) const
    {
        const int error = errno;
        // An adapter pulled out is no fault of the station.
        if (error == ECONNRESET)
            return complain(con_, inv_.port + ": device removed");
        const std::string why = error == ETIMEDOUT ? "no answer within " + std::to_string(timeoutMs_) + " ms"
                                                   : modbus_strerror(error);
        return complain(con_, "station " + std::to_string(station) + ", " + operation + ": " + why, station);
    }

private:
    const Invocation &inv_;
    const Console &con_;
    modbus_t *ctx_ = nullptr;
    int timeoutMs_ = 0;
};

int read(Bus &bus, const Invocation &inv, const Console &con)
{
    const bool registers = inv.table == Table::Holding || inv.table == Table::Input;
    std::vector<uint16_t> regs(std::size_t(inv.count));
    std::vector<uint8_t> bits(std::size_t(inv.count));
    const int rc = bus.exchange(inv.station, [&](modbus_t *ctx) {
        switch (inv.table) {
        case Table::Holding: return modbus_read_registers(ctx, inv.address, inv.count, regs.data());
        case Table::Input: return modbus_read_input_registers(ctx, inv.address, inv.count, regs.data());
        case Table::Coils: return modbus_read_bits(ctx, inv.address, inv.count, bits.data());
        case Table::DiscreteInputs: return modbus_read_input_bits(ctx, inv.address, inv.count, bits.data());
        }
        return -1;
    });
    const std::string name = tableName(inv.table);
    if (rc != inv.count)
        return bus.failed(inv.station, "read " + name + " " + std::to_string(inv.address));
    std::string text;
    std::vector<std::string> values;
    for (std::size_t i = 0; i < regs.size(); ++i) {
        values.push_back(std::to_string(registers ? regs[i] : bits[i]));
        text += name + " " + std::to_string(inv.address + int(i)) + ": " + values.back() + "\n";
    }
    emit(con, text,
         Json().add("station", inv.station).add("table", jsonString(name)).add("address", inv.address)
             .add("values", jsonList(values)));
    return ExitOk;
}

int write(Bus &bus, const Invocation &inv, const Console &con)
{
    const int n = int(inv.values.size());
    const std::vector<uint8_t> bits(inv.values.begin(), inv.values.end());
    const int rc = bus.exchange(inv.station, [&](modbus_t *ctx) {
        if (inv.table == Table::Coils)
            return n == 1 ? modbus_write_bit(ctx, inv.address, bits[0])
                          : modbus_write_bits(ctx, inv.address, n, bits.data());
        return n == 1 ? modbus_write_register(ctx, inv.address, inv.values[0])
                      : modbus_write_registers(ctx, inv.address, n, inv.values.data());
    });
    const std::string name = tableName(inv.table);
    if (rc != n)
        return bus.failed(inv.station, "write " + name + " " + std::to_string(inv.address));
    const std::string noun = inv.table == Table::Coils ? "coil" : "holding register";
    emit(con,
         "wrote " + std::to_string(n) + " " + noun + (n == 1 ? "" : "s") + " at " + std::to_string(inv.address)
             + " to " + who(inv.station) + "\n",
         Json().add("station", inv.station).add("table", jsonString(name)).add("address", inv.address)
             .add("count", n));
    return ExitOk;
}

int info(Bus &bus, const Invocation &inv, const Console &con)
{
    uint16_t regs[kt::CommRegisterCount] = {};
    if (bus.exchange(inv.station, [&](modbus_t *ctx) {
            return modbus_read_registers(ctx, kt::RegStation, kt::CommRegisterCount, regs);
        }) != kt::CommRegisterCount)
        return bus.failed(inv.station, "info");
    Json json;
    emit(con, "station " + std::to_string(inv.station) + ": " + commText(regs) + "\n",
         addComm(json.add("station", inv.station), regs));
    return ExitOk;
}

int set(Bus &bus, const Invocation &inv, const Console &con)
{
    const int rc = bus.exchange(inv.station,
                                [&](modbus_t *ctx) { return modbus_write_register(ctx, inv.address, inv.values[0]); });
    if (rc != 1)
        return bus.failed(inv.station, "set " + inv.setting);
    const char *names[][2] = {{"addr", "station address"}, {"baud", "baud rate"}, {"stop", "stop bits"},
                              {"parity", "parity"}};
    std::string name;
    for (const auto &n : names)
        if (inv.setting == n[0])
            name = n[1];
    const std::string station = std::to_string(inv.station);
    emit(con,
         who(inv.station) + ": " + name + " " + inv.settingText + " written (register " + std::to_string(inv.address)
             + " := " + std::to_string(inv.values[0]) + "); it takes effect after a restart: tarvoctl restart "
             + station + "\n",
         Json().add("station", inv.station).add("setting", jsonString(inv.setting))
             .add("value", inv.setting == "parity" ? jsonString(inv.settingText) : inv.settingText)
             .add("register", inv.address).add("code", inv.values[0]));
    return ExitOk;
}

// A module restarts at once on the command and never answers it: silence is
// the restart as sent, an answer means the module stayed up.
int restart(Bus &bus, const Invocation &inv, const Console &con)
{
    const int rc = bus.exchange(
        inv.station, [](modbus_t *ctx) { return modbus_write_register(ctx, kt::RegRestart, kt::RestartCommand); });
    if (rc == 1 && inv.station != MODBUS_BROADCAST_ADDRESS)
        return complain(con,
                        "station " + std::to_string(inv.station)
                            + ", restart: the module answered the command, so it did not restart",
                        inv.station);
    if (rc == -1 && errno != ETIMEDOUT)
        return bus.failed(inv.station, "restart");
    emit(con, "restart sent to " + who(inv.station) + "; check that it answers at its new settings\n",
         Json().add("station", inv.station).add("restart", jsonString("sent")));
    return ExitOk;
}

int scan(const Invocation &inv, const Console &con)
{
    // Modules answer within a few milliseconds; at slow rates the frames'
    // own time on the wire (8 bytes out, 15 back) comes on top.
    const int bitsPerChar = 1 + 8 + (inv.parity == 'N' ? 0 : 1) + inv.stopBits;
    const int timeoutMs = inv.timeoutGiven ? inv.timeoutMs : 100 + (23 * bitsPerChar * 1000 + inv.baud - 1) / inv.baud;
    Bus bus(inv, con);
    if (!bus.open(timeoutMs))
        return ExitBus;
    std::vector<std::string> stations;
    for (int station = inv.first; station <= inv.last; ++station) {
        uint16_t regs[kt::CommRegisterCount] = {};
        const int rc = bus.exchange(station, [&](modbus_t *ctx) {
            return modbus_read_registers(ctx, kt::RegStation, kt::CommRegisterCount, regs);
        });
        const int error = errno;
        if (rc != kt::CommRegisterCount && !answered(error)) {
            if (error == ETIMEDOUT)
                continue;
            return bus.failed(station, "scan");
        }
        Json json;
        json.add("station", station);
        std::string text = "station " + std::to_string(station) + ": ";
        if (rc == kt::CommRegisterCount) {
            addComm(json, regs);
            text += commText(regs);
        } else {
            json.add("error", jsonString(modbus_strerror(error)));
            text += std::string("answers, but its settings could not be read: ") + modbus_strerror(error);
        }
        if (!con.json) {
            std::fprintf(con.out, "%s\n", text.c_str());
            std::fflush(con.out);
        }
        stations.push_back(json.str());
    }
    const std::size_t n = stations.size();
    emit(con,
         std::to_string(n) + (n == 1 ? " station answers" : " stations answer") + " at " + lineText(inv)
             + " (stations " + std::to_string(inv.first) + "-" + std::to_string(inv.last) + ", "
             + std::to_string(timeoutMs) + " ms timeout)\n",
         Json().add("line", jsonString(lineText(inv))).add("first", inv.first).add("last", inv.last)
             .add("timeoutMs", timeoutMs).add("stations", jsonList(stations)));
    return ExitOk;
}

int reset(const Invocation &inv, const Console &con)
{
    std::fprintf(con.err, "reset: only the module to be reset may be on the bus\n");
    const kt::ResetResult r = kt::resetModule(inv.port.c_str(), inv.timeoutMs, [&](int i) {
        const kt::SweepAttempt a = kt::sweepAttempt(i);
        std::fprintf(con.err, "reset: attempt %d of %d, %d %c\n", i + 1, kt::SweepAttempts, a.baud, a.parity);
        std::fflush(con.err);
        return true;
    });
    if (r.outcome == kt::ResetOutcome::NotFound)
        return complain(con, "reset: no module answered at any rate with parity N or O; check the wiring, and "
                             "that the module is alone on the bus");
    if (r.outcome != kt::ResetOutcome::Done) {
        const int error = errno;
        return complain(con, "reset: " + inv.port + ": " + modbus_strerror(error));
    }
    const std::string found = std::to_string(r.baud) + " " + r.parity;
    Json factory;
    emit(con,
         "module found at " + found + " (attempt " + std::to_string(r.attempt + 1) + " of "
             + std::to_string(kt::SweepAttempts) + ")\nfactory settings written at " + std::to_string(r.baud)
             + " baud with parity " + r.parity + " and E: " + commText(kt::FactorySettings.data())
             + "\nswitch the module off and on to apply them\n",
         Json().add("attempt", r.attempt + 1).add("baud", r.baud).add("parity", jsonString(std::string(1, r.parity)))
             .add("factory", addComm(factory, kt::FactorySettings.data()).str()));
    return ExitOk;
}

// What kt101 and kt104 show of a module: one column per register group, one
// row per channel.
struct Column
{
    Group group;
    const char *label;
    const char *unit;
    kt::Reading (*reading)(uint16_t);
};

kt::Reading offsetReading(uint16_t r) { return {kt::signedTenths(r), 1, false}; }

const Column temperatures{Group::Temperatures, "temperature", "°C", kt::temperatureReading};
const Column resistances{Group::Resistances, "resistance", "Ω", kt::resistanceReading};
const Column offsets{Group::Offsets, "offset", "°C", offsetReading};

int module(Bus &bus, const Invocation &inv, const Console &con)
{
    const bool kt104 = inv.action == Action::Kt104;
    const int channels = kt104 ? kt::Kt104Channels : 1;
    const std::string model = kt104 ? "kt104" : "kt101";
    struct Shown
    {
        const Column &column;
        int reg;
    };
    std::vector<Shown> shown;
    for (const Shown &s : {Shown{temperatures, kt104 ? kt::Kt104TempReg : kt::Kt101TempReg},
                           Shown{resistances, kt104 ? kt::Kt104ResReg : 0},
                           Shown{offsets, kt104 ? kt::Kt104OffsetReg : kt::Kt101OffsetReg}})
        if (s.reg && (inv.group == Group::All || inv.group == s.column.group))
            shown.push_back(s);

    std::vector<std::vector<uint16_t>> values;
    const bool writing = !inv.values.empty();
    for (const Shown &s : shown) {
        values.emplace_back(std::size_t(channels));
        uint16_t *regs = values.back().data();
        const int rc = bus.exchange(inv.station, [&](modbus_t *ctx) {
            if (!writing)
                return modbus_read_registers(ctx, s.reg, channels, regs);
            return channels == 1 ? modbus_write_register(ctx, s.reg, inv.values[0])
                                 : modbus_write_registers(ctx, s.reg, channels, inv.values.data());
        });
        if (rc != channels)
            return bus.failed(inv.station, model + " " + s.column.label + (channels > 1 ? "s" : ""));
        if (writing)
            values.back() = inv.values;
    }

    std::string text;
    for (int ch = 0; ch < channels; ++ch) {
        text += kt104 ? "channel " + std::to_string(ch + 1) + ": " : "";
        for (std::size_t i = 0; i < shown.size(); ++i) {
            const kt::Reading r = shown[i].column.reading(values[i][std::size_t(ch)]);
            text += std::string(i ? ", " : "") + shown[i].column.label + (writing ? " set to " : " ")
                    + (r.error ? "error (65535)" : fixed(r.value, r.decimals) + " " + shown[i].column.unit);
        }
        text += "\n";
    }
    Json json;
    json.add("station", inv.station);
    for (std::size_t i = 0; i < shown.size(); ++i) {
        std::vector<std::string> items;
        for (uint16_t v : values[i]) {
            const kt::Reading r = shown[i].column.reading(v);
            items.push_back(r.error ? "null" : fixed(r.value, r.decimals));
        }
        const std::string key = shown[i].column.label;
        json.add(kt104 ? key + "s" : key, kt104 ? jsonList(items) : items[0]);
    }
    if (writing)
        json.add("written", "true");
    emit(con, text, json);
    return ExitOk;
}

} // namespace

void reportFailure(const Console &con, const std::string &message, int station)
{
    std::fprintf(con.err, "tarvoctl: %s\n", message.c_str());
    if (con.json)
        emit(con, "", Json().add("error", jsonString(message))
                          .add("station", station == NoStation ? "null" : std::to_string(station)));
}

int run(const Invocation &inv, const Console &con)
{
    if (inv.action == Action::Scan)
        return scan(inv, con);
    if (inv.action == Action::Reset)
        return reset(inv, con);
    Bus bus(inv, con);
    if (!bus.open(inv.timeoutMs))
        return ExitBus;
    switch (inv.action) {
    case Action::Read: return read(bus, inv, con);
    case Action::Write: return write(bus, inv, con);
    case Action::Info: return info(bus, inv, con);
    case Action::Set: return set(bus, inv, con);
    case Action::Restart: return restart(bus, inv, con);
    default: return module(bus, inv, con);
    }
}

} // namespace tarvoctl
