// tarvoctl: our modules' commissioning operations from the shell.
#include "arguments.h"
#include "commands.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define dup _dup
#define fdopen _fdopen
#define fileno _fileno
static const char nullDevice[] = "NUL";
#else
#include <unistd.h>
static const char nullDevice[] = "/dev/null";
#endif

namespace {

// The frame captures need the layer's debug mode, which also prints the
// layer's own traffic on stdout and stderr: tarvoctl then writes through
// copies of the two streams and sends the originals to the null device.
bool silenceLayer(tarvoctl::Console &con)
{
    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE *out = fdopen(dup(fileno(stdout)), "w");
    std::FILE *err = fdopen(dup(fileno(stderr)), "w");
    if (!out || !err || !std::freopen(nullDevice, "w", stdout) || !std::freopen(nullDevice, "w", stderr))
        return false;
    std::setvbuf(err, nullptr, _IONBF, 0);
    con.out = out;
    con.err = err;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8); // for the degree and ohm signs
#endif
    tarvoctl::Invocation inv;
    std::string error;
    if (!tarvoctl::parseArguments(std::vector<std::string>(argv + 1, argv + argc), std::getenv("TARVO_PORT"), inv,
                                  error)) {
        std::fprintf(stderr, "tarvoctl: %s\n%s", error.c_str(), tarvoctl::usageText);
        return tarvoctl::ExitUsage;
    }
    if (inv.action == tarvoctl::Action::Help) {
        std::fputs(tarvoctl::usageText, stdout);
        return tarvoctl::ExitOk;
    }
    tarvoctl::Console con{stdout, stderr, inv.json};
    if (inv.debug && !silenceLayer(con)) {
        std::perror("tarvoctl: --debug");
        return tarvoctl::ExitBus;
    }
    return tarvoctl::run(inv, con);
}
