// Loaded and unloaded by the bad-input tests: plain C functions and no
// static objects, so that nothing keeps it mapped after dlclose.
extern "C" __attribute__((visibility("default"), noinline)) int calltrail_unloadable_function(int value) {
    __asm__ __volatile__("" ::: "memory");
    return value * 3 + 1;
}
