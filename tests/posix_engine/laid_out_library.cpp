// A call that ends its function, so that its return address is the first
// byte of the next function: naming it means looking at the bytes before it.
// The functions have a page of their own, which a test makes unreadable.
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) void lo_never_returns() { std::abort(); }

__asm__(".text\n"
        ".p2align 12\n"
        ".globl lo_ends_in_call\n.type lo_ends_in_call, @function\nlo_ends_in_call:\n"
#if defined(__aarch64__)
        "  bl lo_never_returns\n"
#else
        "  call lo_never_returns@PLT\n"
#endif
        ".size lo_ends_in_call, .-lo_ends_in_call\n"
        ".globl lo_after_call\n.type lo_after_call, @function\nlo_after_call:\n"
        "  ret\n.size lo_after_call, .-lo_after_call\n"
        ".p2align 12\n");
