"""An independent Modbus RTU slave for the interop test: pymodbus serving
one unit on the serial port given as the first argument, unit id second.

Holding register n starts at 3n + 1, input register n at 1000 + n, coils and
discrete inputs at 0.
"""
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartSerialServer
from pymodbus.transaction import ModbusRtuFramer


def main():
    port, unit = sys.argv[1], int(sys.argv[2])
    store = ModbusSlaveContext(
        hr=ModbusSequentialDataBlock(0, [3 * n + 1 for n in range(200)]),
        ir=ModbusSequentialDataBlock(0, [1000 + n for n in range(200)]),
        co=ModbusSequentialDataBlock(0, [0] * 200),
        di=ModbusSequentialDataBlock(0, [0] * 200),
        zero_mode=True)
    context = ModbusServerContext(slaves={unit: store}, single=False)
    StartSerialServer(context=context, framer=ModbusRtuFramer, port=port,
                      baudrate=9600, bytesize=8, parity="N", stopbits=1,
                      timeout=0.005)


if __name__ == "__main__":
    main()
