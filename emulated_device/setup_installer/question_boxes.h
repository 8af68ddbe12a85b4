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

#define QUESTION_DEADLINE_SECONDS 120

// Watches the boxes this thread shows until the end of the run, reporting each one's text when
// asked to. The deadline is QUESTION_DEADLINE_SECONDS, or the seconds in the variable
// DEVICE_QUESTION_SECONDS.
BOOL WatchMessageBoxes(QuestionMode mode, BOOL report);
// Whether a question ended without an answer (unseen, or past its deadline).
BOOL QuestionWentUnanswered(void);
// The mode an --answer argument names (yes, no, unseen); FALSE for any other text.
BOOL ReadQuestionMode(LPCWSTR text, QuestionMode* mode);
