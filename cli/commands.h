// Running tarvoctl's commands on the bus and showing their results.
#ifndef TARVOCTL_COMMANDS_H
#define TARVOCTL_COMMANDS_H

#include "arguments.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace tarvoctl {

// Results go to `out` (text, or one JSON object per command); frames,
// progress and errors to `err`.
struct Console
{
    std::FILE *out;
    std::FILE *err;
    bool json;
};

// Runs a parsed command line; returns its exit status.
int run(const Invocation &inv, const Console &con);

// A frame as the frame log shows it: the arrow, then each byte as two
// lowercase hex digits after a blank (">>  01 03 00 64 00 01 c5 d5").
std::string frameLine(const char *arrow, const uint8_t *frame, int length);

} // namespace tarvoctl

#endif
