// Running tarvoctl's commands on the bus and showing their results.
#ifndef TARVOCTL_COMMANDS_H
#define TARVOCTL_COMMANDS_H

#include "arguments.h"

#include <cstdio>

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

} // namespace tarvoctl

#endif
