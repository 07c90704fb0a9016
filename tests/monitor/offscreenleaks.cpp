// Qt 5.15's offscreen platform never frees its screen and cursor. In the
// sanitizer build, full stacks let the leak check skip just those.
extern "C" const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n";
}
