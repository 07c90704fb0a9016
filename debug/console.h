// The generic console of the debugging page without its widgets: which
// request a read or write type makes, how a value field becomes register and
// coil values, and how a captured frame is written to the log.
#ifndef TARVO_CONSOLE_H
#define TARVO_CONSOLE_H

#include "modbus.h"

#include <QString>

namespace console {

// The item orders of the page's type combos.
enum ReadType { ReadHolding, ReadCoils, ReadInputRegisters, ReadDiscreteInputs };
enum WriteType { WriteHolding, WriteCoils };

bool readsBits(int readType);

// The request of a read type into `regs` or `bits`; the modbus call's result,
// -1 for an unknown type.
int read(modbus_t *ctx, int readType, int addr, int n, uint16_t *regs, uint8_t *bits);
// The single write for one value, the multiple write for more; likewise.
int write(modbus_t *ctx, int writeType, int addr, int n, const uint16_t *regs, const uint8_t *bits);

// A value field as a register value: empty is 0, else what
// kt::parseRegisterValue takes. False for anything else.
bool parseField(const QString &text, uint16_t &value);

// `prefix` and then each byte as a blank and two lower-case hex digits.
QString frameLine(const QString &prefix, const uint8_t *bytes, int length);

} // namespace console

#endif
