// Sanitizer settings of the test programs in a sanitizer build. A finding stops
// the test program at once, so CTest reports the test as failed. The program
// under test gets none of this: the harness scans what its runs print on
// standard error for sanitizer reports instead (tests/support/harness.cpp).

#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options()
{
    return "halt_on_error=1:abort_on_error=1:detect_leaks=1";
}

extern "C" const char* __ubsan_default_options()
{
    return "halt_on_error=1:abort_on_error=1:print_stacktrace=1";
}
#endif
