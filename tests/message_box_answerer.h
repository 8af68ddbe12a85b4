// Answers the message boxes a process shows, as a user would: waits for each box, notes its
// caption, text, buttons and owner, and presses the button it was told to.
#pragma once
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

struct SeenMessageBox {
    std::wstring caption;
    std::wstring text;
    bool ok = false, yes = false, no = false, cancel = false;
    bool owned = false;
};

class MessageBoxAnswerer {
public:
    // Presses `answer` (IDOK, IDYES or IDNO) in every box that process `processId` shows.
    explicit MessageBoxAnswerer(int answer, DWORD processId = GetCurrentProcessId());
    ~MessageBoxAnswerer();
    // Stops watching; the boxes seen so far.
    std::vector<SeenMessageBox> Seen();

private:
    void Watch();
    int answer;
    DWORD processId;
    HANDLE stop;  // set when watching should end
    std::vector<SeenMessageBox> seen;
    std::thread watcher;
};

struct AnsweredRun {
    DWORD exitCode = STILL_ACTIVE;  // still active: it did not end by its deadline, and was ended
    std::vector<SeenMessageBox> seen;
    std::string output;  // what it wrote to its standard output
};

// Runs a program to its end, pressing `answer` in every message box it shows; one that has not
// ended by the deadline is ended.
AnsweredRun RunAnswering(const std::wstring& path, const std::wstring& arguments, int answer,
                         DWORD deadlineMilliseconds = 30000);
