// A program and the library it imports by name, which Wine looks for in the program's folder
// first: built twice, as PluginHost.exe and, with LIBRARY defined, as plugin.dll. Each says
// when it runs, so that the device's security tests see which code ran.
#include <windows.h>

#include <stdio.h>

#ifdef LIBRARY
extern "C" __declspec(dllexport) int PluginAnswer(void)
{
    return 7;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        puts("plugin.dll runs");
        fflush(stdout);
    }
    return TRUE;
}
#else
extern "C" __declspec(dllimport) int PluginAnswer(void);

int main(void)
{
    printf("the plugin answers %d\n", PluginAnswer());
    return 0;
}
#endif
