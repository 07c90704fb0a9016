#include "console.h"

#include "modules.h"

#include <cerrno>

namespace console {

bool readsBits(int readType)
{
    return readType == ReadCoils || readType == ReadDiscreteInputs;
}

int read(modbus_t *ctx, int readType, int addr, int n, uint16_t *regs, uint8_t *bits)
{
    switch (readType) {
    case ReadHolding: return modbus_read_registers(ctx, addr, n, regs);
    case ReadCoils: return modbus_read_bits(ctx, addr, n, bits);
    case ReadInputRegisters: return modbus_read_input_registers(ctx, addr, n, regs);
    case ReadDiscreteInputs: return modbus_read_input_bits(ctx, addr, n, bits);
    }
    errno = EINVAL;
    return -1;
}

int write(modbus_t *ctx, int writeType, int addr, int n, const uint16_t *regs, const uint8_t *bits)
{
    switch (writeType) {
    case WriteHolding: return n == 1 ? modbus_write_register(ctx, addr, regs[0]) : modbus_write_registers(ctx, addr, n, regs);
    case WriteCoils: return n == 1 ? modbus_write_bit(ctx, addr, bits[0]) : modbus_write_bits(ctx, addr, n, bits);
    }
    errno = EINVAL;
    return -1;
}

bool parseField(const QString &text, uint16_t &value)
{
    const QString t = text.trimmed();
    value = 0;
    return t.isEmpty() || kt::parseRegisterValue(t.toStdString(), value);
}

QString frameLine(const QString &prefix, const uint8_t *bytes, int length)
{
    QString line = prefix;
    for (int i = 0; i < length; ++i)
        line += QString(" %1").arg(bytes[i], 2, 16, QLatin1Char('0'));
    return line;
}

} // namespace console
