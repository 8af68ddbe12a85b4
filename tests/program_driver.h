// Starts Quillmere as a real process on the emulated device and drives it as a user would:
// real key strokes and taps, messages from another process.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

struct RunningProgram {
    PROCESS_INFORMATION process = {};
    HWND window = NULL;
};

// A host file as the emulated device sees it, on drive Z:.
std::wstring HostPath(const wchar_t* unixPath);
std::wstring ProgramPath();
// The device's security state for the stand-in installer (DEVICE_SECURITY, which the device
// runner sets), and with it the role its scripts give an unsigned package on an off Classic
// device: User Authenticated, with the Manager role that policy 4119 grants it there.
std::wstring SecurityStateOption();
std::wstring InstallerOptions();
// A file's bytes, empty when it cannot be read.
std::string ReadWhole(const std::wstring& path);
// A table of cases from tests/cases/NAME, which the ARM build's runs read too: one case a line,
// fields separated by " | ", a field in double quotes taken without them; '#' lines are skipped.
std::vector<std::vector<std::string>> ReadCaseTable(const char* name);
// A field that lists several entries, separated by " ; ".
std::vector<std::string> SplitList(const std::string& field);
// Starts a process with the given arguments after the program's path; false, and a test
// failure that gives Windows' error, when it cannot.
bool Launch(const std::wstring& path, const std::wstring& arguments, PROCESS_INFORMATION* process,
            STARTUPINFOW* startup = NULL, BOOL inheritHandles = FALSE);
// Starts Quillmere (the built one unless a path is given) and waits until its main window has
// been created and its loop runs; window stays NULL when none appears.
RunningProgram StartQuillmere(const std::wstring& path = ProgramPath());
// The program's exit code, or STILL_ACTIVE when it has not ended within the time.
DWORD WaitForExit(RunningProgram& program, DWORD milliseconds = 10000);
void EndProgram(RunningProgram& program);
HWND FindMainWindow();

// The owned top-level windows of a window, in the order of the given class, top to bottom then
// left to right.
std::vector<HWND> OwnedWindowsOfClass(HWND owner, const wchar_t* className);
// The window system reaches a state after the call that asked for it: polls until the condition
// holds or the time is up, and says whether it held.
bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds = 5000);
HWND FocusOf(HWND window);  // the focus of the window's thread
bool BringToFront(HWND window);

void PressKey(WORD key);  // down and up
void PressCtrlQ();
void TapAt(int x, int y);
void TapCentreOf(HWND window);
// Taps a control and waits until it has its thread's focus; false when it never gets it.
bool TapToFocus(HWND control);
