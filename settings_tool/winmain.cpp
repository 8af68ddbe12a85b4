#include "quillmere.h"

#ifdef UNDER_CE
// The device's entry point has the plain, unmangled name and already takes the wide command line.
extern "C" int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand)
#else
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand)
#endif
{
    return ProgramMain(instance, previousInstance, commandLine, showCommand);
}
