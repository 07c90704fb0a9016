// tarvoctl's command line: what to do, on which line, checked in full before
// anything is sent.
#ifndef TARVOCTL_ARGUMENTS_H
#define TARVOCTL_ARGUMENTS_H

#include <cstdint>
#include <string>
#include <vector>

namespace tarvoctl {

enum ExitStatus { ExitOk = 0, ExitBus = 1, ExitUsage = 2 };

enum class Action { Help, Read, Write, Info, Set, Restart, Scan, Reset, Kt101, Kt104 };

// The four kinds of data of the generic read and write, by their short names.
enum class Table { Holding, Input, Coils, DiscreteInputs };
const char *tableName(Table t); // "hr", "ir", "co", "di"

// What kt101/kt104 read or write; All reads every group of the model.
enum class Group { All, Temperatures, Resistances, Offsets };

struct Invocation
{
    std::string port;
    int baud = 9600;
    char parity = 'N';
    int stopBits = 1;
    int timeoutMs = 1000;
    bool timeoutGiven = false;
    bool debug = false;
    bool json = false;

    Action action = Action::Help;
    int station = 0;
    Table table = Table::Holding;
    int address = 0;
    int count = 1;
    // Register or coil values to write: write's values, set's code, the
    // offsets as register values.
    std::vector<uint16_t> values;
    std::string setting;     // set: "addr", "baud", "stop" or "parity"
    std::string settingText; // set: the value as shown ("19200", "E")
    int first = 1, last = 247; // scan
    Group group = Group::All;
};

// Parses the arguments after the program name; `envPort` is TARVO_PORT or
// null. False with `error` set when the command line cannot be run.
bool parseArguments(const std::vector<std::string> &args, const char *envPort, Invocation &inv, std::string &error);

extern const char usageText[];

} // namespace tarvoctl

#endif
