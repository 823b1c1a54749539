// Sanitizer defaults for every program run under the umockdev preload (tests, and tools with the
// virtual headset), compiled into each so they hold however it is started. The preload comes
// before GCC's ASan runtime, and umockdev's uninstrumented code races (it frees on the calling
// thread strings its worker copied).
// NOLINTNEXTLINE(bugprone-reserved-identifier): the sanitizer runtimes ask for it by name
extern "C" const char* __asan_default_options() {
    return "verify_asan_link_order=0";
}
// NOLINTNEXTLINE(bugprone-reserved-identifier): the sanitizer runtimes ask for it by name
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
// NOLINTNEXTLINE(bugprone-reserved-identifier): the sanitizer runtimes ask for it by name
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libumockdev.so.0\n";
}
