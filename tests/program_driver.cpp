#include "program_driver.h"

#include <stdlib.h>

std::wstring HostPath(const wchar_t* unixPath)
{
    std::wstring path = std::wstring(L"Z:") + unixPath;
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

std::wstring SecurityStateOption()
{
    wchar_t state[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"DEVICE_SECURITY", state, MAX_PATH);
    return L" --security \"" + HostPath(state) + L"\"";
}

std::wstring InstallerOptions()
{
    return SecurityStateOption() + L" --role 24";
}

std::string ReadWhole(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, NULL) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

static std::vector<std::string> Split(const std::string& text, const std::string& separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + separator.size())
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

std::vector<std::vector<std::string>> ReadCaseTable(const char* name)
{
    std::wstring path = HostPath(CASES_DIR) + L"\\";
    for (const char* c = name; *c; ++c)
        path += (wchar_t)*c;
    std::string text = ReadWhole(path);
    EXPECT_FALSE(text.empty()) << "no case table " << name;
    std::vector<std::vector<std::string>> table;
    for (std::string& line : Split(text, "\n")) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields = Split(line, " | ");
        for (std::string& field : fields)
            if (field.size() >= 2 && field.front() == '"' && field.back() == '"')
                field = field.substr(1, field.size() - 2);
        table.push_back(fields);
    }
    return table;
}

std::vector<std::string> SplitList(const std::string& field)
{
    return Split(field, " ; ");
}

std::wstring ProgramPath()
{
    return HostPath(QUILLMERE_EXE);
}

bool Launch(const std::wstring& path, const std::wstring& arguments, PROCESS_INFORMATION* process,
            STARTUPINFOW* startup, BOOL inheritHandles)
{
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW plain = {};
    plain.cb = sizeof plain;
    // Wine's process creation fails now and then for no reason of the program's (seen once in CI,
    // before the program ran at all); a program that cannot start fails every attempt.
    DWORD error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0)
            Sleep(500);
        if (CreateProcessW(path.c_str(), &commandLine[0], NULL, NULL, inheritHandles, 0, NULL, NULL,
                           startup != NULL ? startup : &plain, process))
            return true;
        error = GetLastError();
    }
    ADD_FAILURE() << path << " cannot be started: CreateProcessW failed three times, the last with error "
                  << error;
    return false;
}

HWND FindMainWindow()
{
    return FindWindowW(L"QUILLMERE", L"Quillmere");
}

RunningProgram StartQuillmere(const std::wstring& path)
{
    RunningProgram program;
    if (!Launch(path, L"", &program.process))
        return program;
    WaitUntil([&program] {
        HWND window = FindMainWindow();
        DWORD owner = 0;
        if (window != NULL && GetWindowThreadProcessId(window, &owner) && owner == program.process.dwProcessId)
            program.window = window;
        return program.window != NULL || WaitForSingleObject(program.process.hProcess, 0) == WAIT_OBJECT_0;
    }, 10000);
    // Answered only once the window's creation has finished and its loop runs.
    DWORD_PTR ignored;
    if (program.window != NULL)
        SendMessageTimeoutW(program.window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    return program;
}

DWORD WaitForExit(RunningProgram& program, DWORD milliseconds)
{
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(program.process.hProcess, milliseconds) == WAIT_OBJECT_0)
        GetExitCodeProcess(program.process.hProcess, &exitCode);
    return exitCode;
}

void EndProgram(RunningProgram& program)
{
    if (program.process.hProcess == NULL)
        return;
    if (WaitForSingleObject(program.process.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(program.process.hProcess, 99);
        WaitForSingleObject(program.process.hProcess, 5000);
    }
    CloseHandle(program.process.hThread);
    CloseHandle(program.process.hProcess);
    program.process = {};
}

struct OwnedSearch {
    HWND owner;
    const wchar_t* className;
    std::vector<HWND> found;
};

static BOOL CALLBACK CollectOwned(HWND window, LPARAM lParam)
{
    OwnedSearch* search = (OwnedSearch*)lParam;
    wchar_t className[64];
    if (GetWindow(window, GW_OWNER) == search->owner && GetClassNameW(window, className, 64) &&
        lstrcmpiW(className, search->className) == 0)
        search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> OwnedWindowsOfClass(HWND owner, const wchar_t* className)
{
    OwnedSearch search = {owner, className, {}};
    EnumWindows(CollectOwned, (LPARAM)&search);
    std::sort(search.found.begin(), search.found.end(), [](HWND a, HWND b) {
        RECT ra, rb;
        GetWindowRect(a, &ra);
        GetWindowRect(b, &rb);
        return ra.top != rb.top ? ra.top < rb.top : ra.left < rb.left;
    });
    return search.found;
}

HWND FocusOf(HWND window)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, NULL), &info);
    return info.hwndFocus;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds)
{
    for (DWORD start = GetTickCount(); !condition(); Sleep(20))
        if (GetTickCount() - start > milliseconds)
            return false;
    return true;
}

bool BringToFront(HWND window)
{
    SetForegroundWindow(window);
    return WaitUntil([window] { return GetForegroundWindow() == window; });
}

static void SendKey(WORD key, bool up)
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    SendInput(1, &input, sizeof input);
}

void PressKey(WORD key)
{
    SendKey(key, false);
    SendKey(key, true);
}

void PressCtrlQ()
{
    SendKey(VK_CONTROL, false);
    SendKey('Q', false);
    SendKey('Q', true);
    SendKey(VK_CONTROL, true);
}

void TapAt(int x, int y)
{
    INPUT input[3] = {};
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    input[0].type = INPUT_MOUSE;
    input[0].mi.dx = (x * 65536 + width / 2) / width;
    input[0].mi.dy = (y * 65536 + height / 2) / height;
    input[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    input[1] = input[0];
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
    input[2] = input[0];
    input[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
    // The pointer arrives first, as a finger would, so the window under it knows it is there.
    SendInput(1, &input[0], sizeof input[0]);
    WaitUntil([x, y] {
        POINT at;
        return GetCursorPos(&at) && abs(at.x - x) <= 1 && abs(at.y - y) <= 1;
    });
    SendInput(2, &input[1], sizeof input[0]);
}

void TapCentreOf(HWND window)
{
    RECT at;
    GetWindowRect(window, &at);
    TapAt((at.left + at.right) / 2, (at.top + at.bottom) / 2);
}

bool TapToFocus(HWND control)
{
    TapCentreOf(control);
    return WaitUntil([control] { return FocusOf(control) == control; });
}
