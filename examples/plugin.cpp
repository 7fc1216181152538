// A plugin loaded with dlopen: it calls back into its host, which prints the
// stack, so the trace crosses the plugin.
extern "C" void host_report();

extern "C" __attribute__((visibility("default"), noinline)) void plugin_run() {
    host_report();
    __asm__ __volatile__("" ::: "memory");
}
