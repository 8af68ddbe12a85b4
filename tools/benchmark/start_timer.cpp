// Times a window program on the emulated device from process start until its window exists
// and its message loop answers, then closes it.
//
//   StartTimer PROGRAM CLASS TITLE RUNS    prints one line of milliseconds per run
//
// Exit codes: 0 done, 2 bad arguments, 3 the program cannot start, 4 it showed no window.
#include <windows.h>

#include <stdio.h>

#define WINDOW_LIMIT_MS 20000

static double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency)
{
    return 1000.0 * (double)(to.QuadPart - from.QuadPart) / (double)frequency.QuadPart;
}

int wmain(int argc, WCHAR** argv)
{
    if (argc != 5) {
        wprintf(L"usage: StartTimer PROGRAM CLASS TITLE RUNS\n");
        return 2;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    int runs = _wtoi(argv[4]);
    for (int run = 0; run < runs; ++run) {
        WCHAR commandLine[MAX_PATH + 2];
        _snwprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", argv[1]);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process;
        LARGE_INTEGER started, shown;
        QueryPerformanceCounter(&started);
        if (!CreateProcessW(argv[1], commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
            return 3;
        // A program that ends, or never shows its window within the limit, ends the timing.
        HWND window = NULL;
        DWORD waited = 0;
        while ((window = FindWindowW(argv[2], argv[3])) == NULL && waited < WINDOW_LIMIT_MS &&
               WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT)
            ++waited;
        if (window == NULL) {
            wprintf(L"%ls showed no window \"%ls\" of class %ls (it %ls)\n", argv[1], argv[3], argv[2],
                    WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0 ? L"ended" : L"took too long");
            TerminateProcess(process.hProcess, 1);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            return 4;
        }
        DWORD_PTR ignored;
        SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 10000, &ignored);
        QueryPerformanceCounter(&shown);
        wprintf(L"%.1f\n", Milliseconds(started, shown, frequency));
        PostMessageW(window, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0)
            TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return 0;
}
