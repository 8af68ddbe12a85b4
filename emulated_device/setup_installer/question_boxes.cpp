#include "question_boxes.h"

#include <stdio.h>
#include <stdlib.h>

#define MESSAGE_TEXT_ID 0xFFFF  // the static control that holds a message box's text
#define DEADLINE_TIMER 1

static struct {
    QuestionMode mode;
    BOOL report;
    UINT deadlineSeconds;
    BOOL unanswered;
    HHOOK hook;
} Watch;

static void Answer(HWND box, BOOL question, BOOL yes)
{
    PostMessageW(box, WM_COMMAND, question ? (yes ? IDYES : IDNO) : IDOK, 0);
}

static void CALLBACK DeadlinePassed(HWND box, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(box, timer);
    Watch.unanswered = TRUE;
    wprintf(L"nobody answered within %u s: taken as No\n", Watch.deadlineSeconds);
    fflush(stdout);
    Answer(box, TRUE, FALSE);
}

static void WatchBox(HWND box)
{
    BOOL question = GetDlgItem(box, IDYES) != NULL && GetDlgItem(box, IDNO) != NULL;
    WCHAR text[512] = L"";
    GetDlgItemTextW(box, MESSAGE_TEXT_ID, text, 512);
    if (Watch.report)
        wprintf(L"the device shows: \"%ls\"%ls\n", text, question ? L" (Yes or No)" : L"");
    switch (Watch.mode) {
    case QUESTIONS_ON_SCREEN:
        if (question)
            SetTimer(box, DEADLINE_TIMER, Watch.deadlineSeconds * 1000, DeadlinePassed);
        break;
    case QUESTIONS_ANSWER_YES:
    case QUESTIONS_ANSWER_NO:
        wprintf(question ? L"answered %ls (--answer)\n" : L"acknowledged (--answer %ls)\n",
                Watch.mode == QUESTIONS_ANSWER_YES ? L"yes" : L"no");
        Answer(box, question, Watch.mode == QUESTIONS_ANSWER_YES);
        break;
    case QUESTIONS_UNSEEN:
        if (question) {
            Watch.unanswered = TRUE;
            wprintf(L"nobody can see the device's screen to answer it: taken as No (answer with --answer yes|no, "
                    L"or show the screen with DEVICE_DISPLAY)\n");
        }
        Answer(box, question, FALSE);
        break;
    }
    fflush(stdout);
}

static LRESULT CALLBACK WatchActivation(int code, WPARAM wParam, LPARAM lParam)
{
    HWND window = (HWND)wParam;
    WCHAR className[16];
    // A box is activated again when it gets the focus back; it is watched once.
    if (code == HCBT_ACTIVATE && GetClassNameW(window, className, 16) && lstrcmpW(className, L"#32770") == 0 &&
        GetPropW(window, L"Watched") == NULL) {
        SetPropW(window, L"Watched", (HANDLE)1);
        WatchBox(window);
    }
    return CallNextHookEx(Watch.hook, code, wParam, lParam);
}

BOOL WatchMessageBoxes(QuestionMode mode, BOOL report, UINT deadlineSeconds)
{
    Watch.mode = mode;
    Watch.report = report;
    Watch.deadlineSeconds = deadlineSeconds;
    Watch.hook = SetWindowsHookExW(WH_CBT, WatchActivation, NULL, GetCurrentThreadId());
    return Watch.hook != NULL;
}

BOOL QuestionWentUnanswered(void)
{
    return Watch.unanswered;
}

BOOL ReadQuestionSeconds(LPCWSTR text, UINT* seconds)
{
    UINT value = 0;
    for (const WCHAR* character = text; *character != 0; ++character) {
        UINT digit = (UINT)(*character - L'0');
        if (*character < L'0' || *character > L'9' || value > (MAX_QUESTION_SECONDS - digit) / 10)
            return FALSE;
        value = value * 10 + digit;
    }
    *seconds = value;
    return value > 0;
}

BOOL ReadQuestionMode(LPCWSTR text, QuestionMode* mode)
{
    if (lstrcmpW(text, L"yes") == 0)
        *mode = QUESTIONS_ANSWER_YES;
    else if (lstrcmpW(text, L"no") == 0)
        *mode = QUESTIONS_ANSWER_NO;
    else if (lstrcmpW(text, L"unseen") == 0)
        *mode = QUESTIONS_UNSEEN;
    else
        return FALSE;
    return TRUE;
}
