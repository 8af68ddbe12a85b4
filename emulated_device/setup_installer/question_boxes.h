// The message boxes a run of the emulated device shows: each box's text is reported, and a
// question (a box with Yes and No) is answered as the run was told; on the screen, a question
// nobody answers ends after a deadline. The device itself has a time-out for its security
// question; the emulated device gives every question one, so that no run waits forever.
#pragma once
#include <windows.h>

enum QuestionMode {
    QUESTIONS_ON_SCREEN,  // the user answers on the device's screen, before the deadline
    QUESTIONS_ANSWER_YES,  // answered Yes (an OK box acknowledged) as soon as it appears
    QUESTIONS_ANSWER_NO,
    QUESTIONS_UNSEEN  // nobody can see the screen: No, and the question counts as unanswered
};

// The deadline when the caller names none (the device's scripts always do; tests that start a
// program directly need not), and the longest one a timer takes in milliseconds.
#define QUESTION_DEADLINE_SECONDS 120
#define MAX_QUESTION_SECONDS (USER_TIMER_MAXIMUM / 1000)

// Watches the boxes this thread shows until the end of the run, reporting each one's text when
// asked to; a question on the screen ends as a No after deadlineSeconds.
BOOL WatchMessageBoxes(QuestionMode mode, BOOL report, UINT deadlineSeconds);
// Whether a question ended without an answer (unseen, or past its deadline).
BOOL QuestionWentUnanswered(void);
// The seconds a --question-seconds argument names (1 to MAX_QUESTION_SECONDS); FALSE otherwise.
BOOL ReadQuestionSeconds(LPCWSTR text, UINT* seconds);
// The mode an --answer argument names (yes, no, unseen); FALSE for any other text.
BOOL ReadQuestionMode(LPCWSTR text, QuestionMode* mode);
