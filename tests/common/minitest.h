// A tiny test harness for the parts that know nothing of Qt (the Modbus layer
// and the simulator), so that the same test sources also build with mingw-w64
// and run under wine. Prints each failed check and case, and last "N passed,
// N failed".
#ifndef TARVO_MINITEST_H
#define TARVO_MINITEST_H

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace minitest {

inline std::vector<std::pair<const char *, void (*)()>> cases;
inline int failures = 0;

inline void fail(const char *file, int line, const std::string &what)
{
    std::fprintf(stderr, "%s:%d: FAIL: %s\n", file, line, what.c_str());
    ++failures;
}

inline std::string show(const std::string &s) { return s; }
inline std::string show(const char *s) { return s; }
template <typename T> std::string show(T v) { return std::to_string(+v); } // bytes as numbers
template <typename A, typename B>
void checkEqual(const A &a, const B &b, const char *what, const char *file, int line)
{
    if (!(a == b))
        fail(file, line, what + (": " + show(a) + " != " + show(b)));
}

inline int runAll()
{
    int passed = 0, failed = 0;
    for (const auto &[name, fn] : cases) {
        if (failures = 0, fn(), failures)
            ++failed, std::fprintf(stderr, "FAILED %s\n", name);
        else
            ++passed;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}

} // namespace minitest

#define TEST_CASE(name)                                                                                \
    static void name();                                                                                \
    static const bool name##_registered = (minitest::cases.emplace_back(#name, &name), true);          \
    static void name()

#define CHECK(cond) ((cond) ? void() : minitest::fail(__FILE__, __LINE__, #cond))
#define CHECK_EQ(a, b) minitest::checkEqual((a), (b), #a " == " #b, __FILE__, __LINE__)
// Stops the case when the condition fails (later checks would only cascade).
#define REQUIRE(cond) do { if (!(cond)) return minitest::fail(__FILE__, __LINE__, #cond); } while (0)
#define MINITEST_MAIN int main() { return minitest::runAll(); }

#endif
