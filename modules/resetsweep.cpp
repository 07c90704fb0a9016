#include "resetsweep.h"

#include "modbus.h"
#include "modules.h"

#include <cerrno>
#include <cstdint>
#include <memory>

namespace kt {

namespace {

struct CloseAndFree
{
    void operator()(modbus_t *ctx) const
    {
        const int saved = errno;
        modbus_close(ctx);
        modbus_free(ctx);
        errno = saved;
    }
};
using Context = std::unique_ptr<modbus_t, CloseAndFree>;

// A broadcast context on the port, or null with errno set.
Context openBroadcast(const char *port, int baud, char parity, int timeoutMs)
{
    modbus_t *ctx = modbus_new_rtu(port, baud, parity, 8, 1);
    if (!ctx)
        return nullptr;
    modbus_set_slave(ctx, MODBUS_BROADCAST_ADDRESS);
    modbus_set_response_timeout(ctx, uint32_t(timeoutMs / 1000), uint32_t(timeoutMs % 1000) * 1000);
    if (modbus_connect(ctx) == -1) {
        const int saved = errno;
        modbus_free(ctx);
        errno = saved;
        return nullptr;
    }
    return Context(ctx);
}

void writeFactorySettings(modbus_t *ctx)
{
    // A broadcast write has no answer to check.
    modbus_write_registers(ctx, RegStation, CommRegisterCount, FactorySettings.data());
}

} // namespace

SweepAttempt sweepAttempt(int i)
{
    const int rates = int(BaudRates.size());
    return {baudForCode(i % rates), i / rates == 0 ? 'N' : 'O'};
}

ResetResult resetModule(const char *port, int timeoutMs, const std::function<bool(int)> &beforeAttempt)
{
    for (int i = 0; i < SweepAttempts; ++i) {
        if (beforeAttempt && !beforeAttempt(i))
            return {ResetOutcome::Cancelled, -1, 0, '\0'};
        const SweepAttempt a = sweepAttempt(i);
        Context ctx = openBroadcast(port, a.baud, a.parity, timeoutMs);
        if (!ctx)
            return {ResetOutcome::PortError, i, 0, '\0'};
        uint16_t probe = 0;
        modbus_read_registers(ctx.get(), RegStation, 1, &probe);
        // A fresh context has seen no answer, so a silent bus never counts.
        if (modbus_get_last_response_length(ctx.get()) != ProbeAnswerLength)
            continue;
        writeFactorySettings(ctx.get());
        ctx.reset();
        Context even = openBroadcast(port, a.baud, 'E', timeoutMs);
        if (!even)
            return {ResetOutcome::PortError, i, a.baud, a.parity};
        writeFactorySettings(even.get());
        return {ResetOutcome::Done, i, a.baud, a.parity};
    }
    return {ResetOutcome::NotFound, -1, 0, '\0'};
}

} // namespace kt
