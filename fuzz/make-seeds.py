#!/usr/bin/python3
"""Writes the seed inputs of fuzz_receive into fuzz/corpus/: a good answer to
every call, every exception code, and a few ways an answer goes wrong.
The input layout is described at the top of fuzz_receive.cpp."""
import os
import struct
import sys

OPS = {'read_bits': 0, 'read_input_bits': 1, 'read_registers': 2, 'read_input_registers': 3,
       'write_bit': 4, 'write_register': 5, 'write_bits': 6, 'write_registers': 7,
       'mask_write': 8, 'write_and_read': 9, 'report_slave_id': 10, 'raw': 11}
FUNCTION = {0: 0x01, 1: 0x02, 2: 0x03, 3: 0x04, 4: 0x05, 5: 0x06, 6: 0x0F, 7: 0x10,
            8: 0x16, 9: 0x17, 10: 0x11}
SLAVE = 1
ADDR = 100


def crc(frame):
    value = 0xFFFF
    for byte in frame:
        value ^= byte
        for _ in range(8):
            value = (value >> 1) ^ 0xA001 if value & 1 else value >> 1
    return bytes(frame) + struct.pack('<H', value)


def block(op, nb, answer, addr=ADDR, slave=SLAVE, flags=0, schedule=b''):
    return (bytes([OPS[op], slave]) + struct.pack('>HH', addr, nb) + bytes([flags, len(schedule)])
            + schedule + struct.pack('<H', len(answer)) + answer)


def good_answer(op, nb, slave=SLAVE, addr=ADDR):
    fc = FUNCTION[OPS[op]]
    if op in ('read_bits', 'read_input_bits'):
        count = (nb + 7) // 8
        return crc([slave, fc, count] + [(0xA5 + i) & 0xFF for i in range(count)])
    if op in ('read_registers', 'read_input_registers', 'write_and_read'):
        return crc([slave, fc, 2 * nb] + [(i * 7) & 0xFF for i in range(2 * nb)])
    if op == 'write_bit':
        return crc([slave, fc, addr >> 8, addr & 0xFF, 0xFF if nb else 0, 0])
    if op == 'write_register':
        return crc([slave, fc, addr >> 8, addr & 0xFF, nb >> 8, nb & 0xFF])
    if op in ('write_bits', 'write_registers'):
        return crc([slave, fc, addr >> 8, addr & 0xFF, nb >> 8, nb & 0xFF])
    if op == 'mask_write':
        andm, orm = nb, ~nb & 0xFFFF
        return crc([slave, fc, addr >> 8, addr & 0xFF, andm >> 8, andm & 0xFF, orm >> 8, orm & 0xFF])
    if op == 'report_slave_id':
        return crc([slave, fc, 4, 0x2A, 0xFF, ord('K'), ord('T')])
    raise ValueError(op)


def main(out):
    os.makedirs(out, exist_ok=True)
    seeds = {}
    # one good answer per call, with a count that exercises packing and length
    counts = {'read_bits': 10, 'read_input_bits': 19, 'read_registers': 1, 'read_input_registers': 4,
              'write_bit': 1, 'write_register': 2, 'write_bits': 10, 'write_registers': 3,
              'mask_write': 0, 'write_and_read': 2, 'report_slave_id': 8}
    for op, nb in counts.items():
        seeds['ok-' + op] = block(op, nb, good_answer(op, nb))
    seeds['ok-read_registers-max'] = block('read_registers', 125, good_answer('read_registers', 125))
    seeds['ok-read_bits-max'] = block('read_bits', 2000, good_answer('read_bits', 2000))
    seeds['ok-read_registers-debug'] = block('read_registers', 40, good_answer('read_registers', 40),
                                             flags=1)
    # raw request: function 0x03 (high byte of the address), answered as a read
    raw_addr = 0x0300
    seeds['ok-raw'] = block('raw', 6, crc([SLAVE, 0x03, 2, 0x12, 0x34]), addr=raw_addr)
    seeds['ok-broadcast-write_register'] = block('write_register', 2,
                                                 good_answer('write_register', 2, slave=0), slave=0)

    # every exception code, and one past them, to a holding register read
    for code in range(1, 13):
        seeds['exception-fc03-%02d' % code] = block('read_registers', 1, crc([SLAVE, 0x83, code]))
    for op in OPS:
        if op in FUNCTION and op != 'read_registers':
            fc = FUNCTION[OPS[op]]
            seeds['exception-%s-02' % op] = block(op, 2, crc([SLAVE, fc | 0x80, 2]))

    # the ways an answer goes wrong on the line
    good = good_answer('read_registers', 2)
    seeds['split-byte-by-byte'] = block('read_registers', 2, good, schedule=bytes([0] * len(good)))
    seeds['stall-mid-frame'] = block('read_registers', 2, good, schedule=bytes([1, 0xFF]))
    seeds['line-fails'] = block('read_registers', 2, good, schedule=bytes([2, 0xFE]))
    seeds['silence'] = block('read_registers', 2, b'')
    seeds['bad-crc'] = block('read_registers', 2, good[:-1] + bytes([good[-1] ^ 0x55]))
    seeds['other-slave'] = block('read_registers', 2, good_answer('read_registers', 2, slave=7))
    seeds['other-function'] = block('read_registers', 2, crc([SLAVE, 0x04, 4, 0, 1, 0, 2]))
    seeds['short-count'] = block('read_registers', 2, crc([SLAVE, 0x03, 2, 0, 1]))
    seeds['noise-first'] = block('read_registers', 2, bytes([0x00, 0xFF]) + good)
    seeds['write-fails'] = block('write_register', 1, good_answer('write_register', 1), flags=8)
    seeds['write-short'] = block('write_register', 1, good_answer('write_register', 1), flags=12)
    seeds['too-many'] = block('read_registers', 126, b'')
    seeds['byte-count-overflow'] = block('read_input_bits', 2000, crc([SLAVE, 0x02, 0xFF] + [0] * 255))
    # a late answer still on the line when the next request goes out
    seeds['late-answer-then-next'] = (block('read_registers', 1, good_answer('read_registers', 1),
                                            schedule=bytes([0xFF]))
                                      + block('read_registers', 1, good_answer('read_registers', 1)))

    for name, data in seeds.items():
        with open(os.path.join(out, name), 'wb') as f:
            f.write(data)
    print('%d seeds in %s' % (len(seeds), out))


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), 'corpus'))
