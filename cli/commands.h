// Running tarvoctl's commands on the bus and showing their results.
#ifndef TARVOCTL_COMMANDS_H
#define TARVOCTL_COMMANDS_H

#include "arguments.h"

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

constexpr int NoStation = -1;

// Says why a command failed: one line on `err` and, with --json, also
// {"error": ..., "station": ...} on `out` (null for NoStation).
void reportFailure(const Console &con, const std::string &message, int station);

// Runs a parsed command line; returns its exit status.
int run(const Invocation &inv, const Console &con);

} // namespace tarvoctl

#endif
