// Runs the bus cases against the simulator, in process, on a fresh pty laid
// out as the top of bustests.cpp describes.
#include "bustests.h"
#include "minitest.h"
#include "simulator.h"

#include <cstdio>
#include <string>

namespace {
std::string port;
}

const char *busPort() { return port.c_str(); }

int main(int argc, char **argv)
{
    using ktsim::Fault;
    using ktsim::ModuleType;
    ktsim::Simulator sim;
    for (const ktsim::ModuleSpec &m : ktsim::Simulator::demoBus())
        sim.addModule(m);
    const struct { int address; Fault fault; int param; } faulty[] = {
        {10, Fault::Silence, 0},   {11, Fault::BadCrc, 0},    {12, Fault::Exception, 6}, {13, Fault::WrongAddress, 0},
        {14, Fault::Truncated, 0}, {15, Fault::Late, 300}, {16, Fault::ByteByByte, 5}};
    for (const auto &f : faulty) {
        ktsim::ModuleSpec spec;
        spec.type = ModuleType::KT101;
        spec.address = f.address;
        sim.addModule(spec);
        sim.setFault(f.address, f.fault, f.param);
    }
    if (!sim.start()) {
        std::perror("simulator");
        return 1;
    }
    port = sim.portPath();
    return minitest::runAll(argc, argv);
}
