// A tiny test harness for the parts that know nothing of Qt (the Modbus layer
// and the simulator), so that the same test sources also build with mingw-w64
// and run under wine.
//
//   TEST_CASE(readsHoldingRegisters) { CHECK(rc == 1); CHECK_EQ(v, 235); }
//
// Run with no argument for every case, or with names (or name prefixes) for a
// selection. Prints one line per failed check and, last, "N passed, N failed".
#ifndef TARVO_MINITEST_H
#define TARVO_MINITEST_H

#include <cstdio>
#include <cstring>
#include <type_traits>
#include <sstream>
#include <string>
#include <vector>

namespace minitest {

struct Case
{
    const char *name;
    void (*fn)();
};

inline std::vector<Case> &registry()
{
    static std::vector<Case> cases;
    return cases;
}

inline int &currentFailures()
{
    static int failures = 0;
    return failures;
}

struct Registrar
{
    Registrar(const char *name, void (*fn)()) { registry().push_back({name, fn}); }
};

template <typename T>
std::string show(const T &v)
{
    std::ostringstream os;
    if constexpr (std::is_same_v<T, unsigned char> || std::is_same_v<T, signed char> || std::is_same_v<T, char>)
        os << int(v);
    else
        os << v;
    return os.str();
}

inline void fail(const char *file, int line, const std::string &what)
{
    std::fprintf(stderr, "%s:%d: FAIL: %s\n", file, line, what.c_str());
    ++currentFailures();
}

inline bool selected(const char *name, int argc, char **argv)
{
    if (argc < 2)
        return true;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(name, argv[i], std::strlen(argv[i])) == 0)
            return true;
    return false;
}

inline int runAll(int argc, char **argv)
{
    int passed = 0, failed = 0;
    for (const Case &c : registry()) {
        if (!selected(c.name, argc, argv))
            continue;
        currentFailures() = 0;
        std::fprintf(stderr, "-- %s\n", c.name);
        c.fn();
        if (currentFailures() == 0) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}

} // namespace minitest

#define TEST_CASE(name)                                                                                \
    static void name();                                                                                \
    static const minitest::Registrar name##_registrar(#name, &name);                                   \
    static void name()

#define CHECK(cond)                                                                                    \
    do {                                                                                               \
        if (!(cond))                                                                                   \
            minitest::fail(__FILE__, __LINE__, #cond);                                                 \
    } while (0)

#define CHECK_EQ(a, b)                                                                                 \
    do {                                                                                               \
        const auto &ma_ = (a);                                                                         \
        const auto &mb_ = (b);                                                                         \
        if (!(ma_ == mb_))                                                                             \
            minitest::fail(__FILE__, __LINE__,                                                         \
                           std::string(#a " == " #b ": ") + minitest::show(ma_) + " != "               \
                               + minitest::show(mb_));                                                 \
    } while (0)

// Stops the current case when the condition fails (later checks would only
// cascade).
#define REQUIRE(cond)                                                                                  \
    do {                                                                                               \
        if (!(cond)) {                                                                                 \
            minitest::fail(__FILE__, __LINE__, #cond);                                                 \
            return;                                                                                    \
        }                                                                                              \
    } while (0)

#define MINITEST_MAIN                                                                                  \
    int main(int argc, char **argv) { return minitest::runAll(argc, argv); }

#endif
