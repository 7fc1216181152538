// The process id, asked of the kernel.
#include "platform/platform.hpp"

#include <unistd.h>

DWORD WINAPI GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }
