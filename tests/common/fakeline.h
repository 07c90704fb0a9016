// A serial line in process, for the master's tests and the fuzz target: the
// requests written are kept, each is answered by `reply`, and time costs
// nothing: a read returns at once with what there is, in chunks no larger
// than `chunk` allows (a count, 0 for a stall, -1 for a failing line).
// FakeBus is a context on one.
#ifndef TARVO_TEST_FAKELINE_H
#define TARVO_TEST_FAKELINE_H

#include "crc16.h"
#include "modbus-private.h"
#include "rig.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <functional>

struct FakeLine final : SerialLine
{
    testcrc::Bytes reply, served; // served: what the master took since its last request
    std::deque<uint8_t> input;
    std::vector<testcrc::Bytes> sent;
    std::function<int(int max)> chunk = [](int max) { return max; };
    int configureErrno = 0, openErrno = 0, writeErrno = 0, shortWrite = 0, opens = 0, restored = 0;
    char parity = 0;
    bool opened = false;

    int open(const char *) override { return ++opens, (errno = openErrno) ? -1 : (opened = true, 0); }
    int configure(int, int, char p, int) override { return parity = p, (errno = configureErrno) ? -1 : 0; }
    int read(uint8_t *buf, int max, long long) override
    {
        const int n = std::min<int>(chunk(max), int(input.size()));
        if (n < 0)
            return errno = EIO, -1;
        for (int i = 0; i < n; ++i, input.pop_front())
            served.push_back(buf[i] = input.front());
        return n;
    }
    int write(const uint8_t *buf, int len) override
    {
        if ((errno = opened ? writeErrno : EBADF))
            return -1;
        sent.emplace_back(buf, buf + len);
        served.clear();
        input.insert(input.end(), reply.begin(), reply.end());
        return len - shortWrite;
    }
    int discardInput() override { return input.clear(), 0; }
    int restoreSettings() override { return ++restored, 0; }
    int close() override { return opened = false, 0; }
    bool isOpen() const override { return opened; }
    long lastSystemError() const override { return 0; }
};

// For `slave` (none when negative), connected unless told otherwise.
struct FakeBus
{
    Context ctx;
    FakeLine *line = new FakeLine;
    explicit FakeBus(int slave = 1, bool connect = true, char parity = 'N') : ctx(modbus_new_rtu("fake", 9600, parity, 8, 1))
    {
        modbus_rtu_set_line(ctx.get(), std::unique_ptr<SerialLine>(line));
        if (slave >= 0)
            modbus_set_slave(ctx.get(), slave);
        if (connect)
            modbus_connect(ctx.get());
    }
};

#endif
