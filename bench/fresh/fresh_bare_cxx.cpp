// Process start and exit with the C++ runtime loaded and started, as in any
// program that can call the library: the floor under its fresh-process rows.
#include <cstdio>
#include <string>

int main(int argc, char**) {
    const std::string text(static_cast<std::size_t>(argc) * 40, '-');
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
