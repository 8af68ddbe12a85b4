// The smallest DLL with one export: the yardstick for Corvane's size.
#include <windows.h>

extern "C" __declspec(dllexport) int WINAPI Minimal(void)
{
    return 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
