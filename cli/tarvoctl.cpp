// tarvoctl: our modules' commissioning operations from the shell.
#include "arguments.h"
#include "commands.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char **argv)
{
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8); // for the degree and ohm signs
#endif
    tarvoctl::Invocation inv;
    std::string error;
    const bool parsed = tarvoctl::parseArguments(std::vector<std::string>(argv + 1, argv + argc),
                                                 std::getenv("TARVO_PORT"), inv, error);
    const tarvoctl::Console con{stdout, stderr, inv.json};
    if (!parsed) {
        tarvoctl::reportFailure(con, error + "; try 'tarvoctl --help'", tarvoctl::NoStation);
        return tarvoctl::ExitUsage;
    }
    if (inv.action == tarvoctl::Action::Help) {
        std::fputs(tarvoctl::usageText, stdout);
        return tarvoctl::ExitOk;
    }
    return tarvoctl::run(inv, con);
}
