// The emulated device's security question, asked before it installs a package or runs a program
// that its policies let it take only when the user agrees: a Yes/No message box with the text
// given. Like the device's, it has a time-out: a question nobody answers is a No (after SECONDS,
// 120 unless given). Exit code 0 for Yes, 1 for No, 2 for bad arguments, 3 when nobody answered
// before the deadline.
//
//   SecurityPrompt TEXT [SECONDS]
#include <windows.h>

#include "question_boxes.h"

int wmain(int argc, WCHAR** argv)
{
    UINT seconds = QUESTION_DEADLINE_SECONDS;
    if (argc < 2 || argc > 3 || (argc == 3 && !ReadQuestionSeconds(argv[2], &seconds)))
        return 2;
    WatchMessageBoxes(QUESTIONS_ON_SCREEN, FALSE, seconds);
    int answer = MessageBoxW(NULL, argv[1], L"Security warning", MB_YESNO | MB_ICONWARNING | MB_SETFOREGROUND);
    return QuestionWentUnanswered() ? 3 : answer == IDYES ? 0 : 1;
}
