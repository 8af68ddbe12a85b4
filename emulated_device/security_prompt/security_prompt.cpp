// The emulated device's security question, asked before it installs a package or runs a program
// that its policies let it take only when the user agrees: a Yes/No message box with the text
// given. Exit code 0 for Yes, 1 for No, 2 for bad arguments.
//
//   SecurityPrompt TEXT
#include <windows.h>

int wmain(int argc, WCHAR** argv)
{
    if (argc != 2)
        return 2;
    int answer = MessageBoxW(NULL, argv[1], L"Security warning", MB_YESNO | MB_ICONWARNING | MB_SETFOREGROUND);
    return answer == IDYES ? 0 : 1;
}
