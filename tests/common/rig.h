// What the Modbus tests share: a context that closes and frees itself, opened
// on a port, and the station that answers.
#ifndef TARVO_TESTS_RIG_H
#define TARVO_TESTS_RIG_H

#include "modbus.h"

#include <memory>
#include <string>

struct FreeContext
{
    void operator()(modbus_t *ctx) const { modbus_close(ctx), modbus_free(ctx); }
};
using Context = std::unique_ptr<modbus_t, FreeContext>;

// A connected context for `slave` on `port`, or null.
inline Context openBus(const std::string &port, int slave, int responseMs, int baud = 9600, char parity = 'N', int stopBits = 1)
{
    Context ctx(modbus_new_rtu(port.c_str(), baud, parity, 8, stopBits));
    if (!ctx || modbus_connect(ctx.get()) != 0)
        return nullptr;
    modbus_set_slave(ctx.get(), slave);
    modbus_set_response_timeout(ctx.get(), uint32_t(responseMs / 1000), uint32_t(responseMs % 1000 * 1000));
    return ctx;
}

// The station address register 1 of `slave` answers, or -1.
inline int stationOf(modbus_t *ctx, int slave)
{
    uint16_t v = 0;
    modbus_set_slave(ctx, slave);
    return modbus_read_registers(ctx, 1, 1, &v) == 1 ? v : -1;
}

#endif
