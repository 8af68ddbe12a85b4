// Helpers the ARM compiler (clang, for the ARM EABI) calls on its own, mapped onto the device's
// coredll. Built without the compiler's built-in memset, which it would turn back into a call
// of the helper itself.
#include <stddef.h>

extern "C" void* memset(void* destination, int value, size_t size);

// Clears size bytes at a 4-byte aligned destination; the arguments differ from memset's.
extern "C" void __aeabi_memclr4(void* destination, size_t size)
{
    memset(destination, 0, size);
}
