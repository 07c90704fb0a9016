"""The interop test's independent slave: pymodbus serving unit argv[2] on port
argv[1]; holding register n holds 3n + 1, input register n 1000 + n."""
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartSerialServer
from pymodbus.transaction import ModbusRtuFramer

store = ModbusSlaveContext(
    hr=ModbusSequentialDataBlock(0, [3 * n + 1 for n in range(200)]),
    ir=ModbusSequentialDataBlock(0, [1000 + n for n in range(200)]),
    zero_mode=True)
StartSerialServer(context=ModbusServerContext(slaves={int(sys.argv[2]): store}, single=False),
                  framer=ModbusRtuFramer, port=sys.argv[1], baudrate=9600, bytesize=8,
                  parity="N", stopbits=1, timeout=0.005)
