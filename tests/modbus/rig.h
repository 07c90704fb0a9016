// What the Modbus tests share: a context that closes and frees itself, opened
// on a port, and a capture of what the code under test prints (through the
// descriptor, so printf and fprintf are both caught).
#ifndef TARVO_TESTS_RIG_H
#define TARVO_TESTS_RIG_H

#include "modbus.h"

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h> // mingw-w64's too, for dup and dup2

struct FreeContext
{
    void operator()(modbus_t *ctx) const { modbus_close(ctx), modbus_free(ctx); }
};
using Context = std::unique_ptr<modbus_t, FreeContext>;

// A connected context for `slave` on `port`, or null.
inline Context openBus(const std::string &port, int slave, int responseMs, int baud = 9600, char parity = 'N',
                       int stopBits = 1, int debug = 0)
{
    Context ctx(modbus_new_rtu(port.c_str(), baud, parity, 8, stopBits));
    if (!ctx || modbus_set_debug(ctx.get(), debug) != 0 || modbus_connect(ctx.get()) != 0)
        return nullptr;
    modbus_set_slave(ctx.get(), slave);
    modbus_set_response_timeout(ctx.get(), uint32_t(responseMs / 1000), uint32_t(responseMs % 1000 * 1000));
    return ctx;
}

struct OutputCapture
{
    FILE *stream, *file = std::tmpfile();
    int saved;
    explicit OutputCapture(FILE *s) : stream(s), saved((std::fflush(s), dup(fileno(s)))) { dup2(fileno(file), fileno(stream)); }
    ~OutputCapture() { std::fflush(stream), dup2(saved, fileno(stream)), close(saved), std::fclose(file); }
    std::string text()
    {
        std::fflush(stream);
        std::fseek(file, 0, SEEK_END);
        std::string s(size_t(std::ftell(file)), '\0');
        std::rewind(file);
        return s.resize(std::fread(&s[0], 1, s.size(), file)), s;
    }
    bool contains(const std::string &needle) { return text().find(needle) != std::string::npos; }
};

#endif
