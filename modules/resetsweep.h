// Finding a module whose line settings nobody knows, and putting its factory
// settings back: with only that module on the bus, a broadcast read of
// register 1 is tried at every rate without parity, then with odd parity;
// the first 7-byte answer (address, function, count, one register, CRC) wins,
// whatever address it carries and even with a broken CRC. The factory
// settings are then written by broadcast at the rate found, once with the
// parity found and once with even parity, which the sweep cannot hear.
#ifndef TARVO_RESETSWEEP_H
#define TARVO_RESETSWEEP_H

#include <functional>

namespace kt {

constexpr int SweepAttempts = 18;
constexpr int ProbeAnswerLength = 7;

struct SweepAttempt
{
    int baud;
    char parity;
};
// Attempt i (0..17): 'N' at the nine module rates for 0..8, 'O' for 9..17.
SweepAttempt sweepAttempt(int i);

enum class ResetOutcome {
    Done,      // found and written; the module takes 9600 8N1, station 1 after a power cycle
    NotFound,  // no attempt was answered
    PortError, // the port could not be opened (errno kept)
    Cancelled  // the progress callback said stop
};

struct ResetResult
{
    ResetOutcome outcome;
    int attempt; // the attempt that found the module (or failed to open), -1 otherwise
    int baud;    // its rate, 0 otherwise
    char parity; // its parity, '\0' otherwise
};

// Runs the whole procedure on `port` with `timeoutMs` of response timeout per
// attempt. `beforeAttempt(i)` is called before attempt i and may return false
// to cancel; no context is left open on any way out.
ResetResult resetModule(const char *port, int timeoutMs, const std::function<bool(int attempt)> &beforeAttempt);

} // namespace kt

#endif
