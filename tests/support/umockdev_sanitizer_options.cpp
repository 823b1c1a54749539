// Sanitizer defaults for every test run under the umockdev preload, compiled into each such test
// so they hold however the test is started. The preload comes before GCC's ASan runtime, and
// umockdev's uninstrumented code races (it frees on the test thread strings its worker copied).
extern "C" const char* __asan_default_options() {
    return "verify_asan_link_order=0";
}
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libumockdev.so.0\n";
}
