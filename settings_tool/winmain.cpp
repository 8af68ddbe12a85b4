#include "quillmere.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand)
{
    return ProgramMain(instance, previousInstance, commandLine, showCommand);
}
