#include "quillmere.h"

#ifdef UNDER_CE
// The device's entry point has the plain name and already takes the wide command line.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand)
#else
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand)
#endif
{
    return ProgramMain(instance, previousInstance, commandLine, showCommand);
}
