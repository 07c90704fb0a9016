#!/usr/bin/python3
"""The same workload as bench_modbus through python3-pymodbus's synchronous
serial client, our independent peer: back-to-back one-register reads.

    pymodbus_client.py PORT BAUD PARITY SLAVE COUNT

Prints one line of key=value figures, as bench_modbus does."""
import logging
import resource
import sys
import time

from pymodbus.client import ModbusSerialClient


def cpu_us():
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return (ru.ru_utime + ru.ru_stime) * 1e6


def main():
    logging.disable(logging.CRITICAL)  # pymodbus logs every failed read
    port, baud, parity, slave, count = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
    client = ModbusSerialClient(port=port, baudrate=baud, parity=parity, stopbits=1, bytesize=8, timeout=1)
    if not client.connect():
        print('pymodbus_client: cannot open %s' % port, file=sys.stderr)
        return 1

    def read():
        rsp = client.read_holding_registers(100, 1, slave=slave)
        return not rsp.isError()

    for _ in range(10):
        read()
    cycles = []
    errors = 0
    cpu0 = cpu_us()
    start = t = time.monotonic()
    for _ in range(count):
        if not read():
            errors += 1
        t1 = time.monotonic()
        cycles.append((t1 - t) * 1e6)
        t = t1
    wall = (t - start) * 1e6
    cpu = cpu_us() - cpu0
    client.close()
    cycles.sort()
    print('tps=%.1f mean_us=%.1f p50_us=%.1f p99_us=%.1f cpu_us=%.2f errors=%d' % (
        count / (wall / 1e6), wall / count, cycles[len(cycles) // 2],
        cycles[min(len(cycles) - 1, int(0.99 * len(cycles)))], cpu / count, errors))
    return 1 if errors == count else 0


if __name__ == '__main__':
    sys.exit(main())
