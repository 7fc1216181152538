// Loads a plugin with dlopen and prints a trace from inside a call through it.
#include <korvo/calltrail/calltrail.hpp>

#include <dlfcn.h>

#include <cstdio>
#include <iostream>

extern "C" __attribute__((visibility("default"), noinline)) void host_report() {
    korvo::calltrail::print_current_stack(std::cout);
}

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "./libcalltrail_example_plugin.so";
    void* plugin = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return 1;
    }
    auto run = reinterpret_cast<void (*)()>(dlsym(plugin, "plugin_run"));
    if (run == nullptr) return 1;
    run();
    dlclose(plugin);
    return 0;
}
