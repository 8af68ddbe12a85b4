#include "message_box_answerer.h"
#include "program_driver.h"

namespace {

struct BoxSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM lParam)
{
    BoxSearch* search = (BoxSearch*)lParam;
    DWORD owner = 0;
    wchar_t className[16];
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window) && GetClassNameW(window, className, 16) &&
        lstrcmpW(className, L"#32770") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

std::wstring TextOf(HWND window)
{
    wchar_t text[512] = {};
    SendMessageW(window, WM_GETTEXT, 512, (LPARAM)text);
    return text;
}

}  // namespace

MessageBoxAnswerer::MessageBoxAnswerer(int answer, DWORD processId)
    : answer(answer), processId(processId), stop(CreateEventW(NULL, TRUE, FALSE, NULL)),
      watcher(&MessageBoxAnswerer::Watch, this)
{
}

MessageBoxAnswerer::~MessageBoxAnswerer()
{
    Seen();
    CloseHandle(stop);
}

std::vector<SeenMessageBox> MessageBoxAnswerer::Seen()
{
    SetEvent(stop);
    if (watcher.joinable())
        watcher.join();
    return seen;
}

void MessageBoxAnswerer::Watch()
{
    while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
        BoxSearch search = {processId, NULL};
        EnumWindows(FindBox, (LPARAM)&search);
        if (search.found == NULL) {
            WaitForSingleObject(stop, 20);
            continue;
        }
        HWND box = search.found;
        SeenMessageBox shown;
        shown.caption = TextOf(box);
        shown.text = TextOf(GetDlgItem(box, 0xFFFF));
        shown.ok = GetDlgItem(box, IDOK) != NULL;
        shown.yes = GetDlgItem(box, IDYES) != NULL;
        shown.no = GetDlgItem(box, IDNO) != NULL;
        shown.cancel = GetDlgItem(box, IDCANCEL) != NULL;
        shown.owned = GetWindow(box, GW_OWNER) != NULL;
        seen.push_back(shown);
        HWND button = GetDlgItem(box, answer);
        if (button == NULL)
            button = GetDlgItem(box, IDOK);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), (LPARAM)button);
        for (int i = 0; i < 250 && IsWindow(box); ++i)
            Sleep(20);
    }
}

AnsweredRun RunAnswering(const std::wstring& path, const std::wstring& arguments, int answer, DWORD deadlineMilliseconds)
{
    AnsweredRun run;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0)) {
        ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
        return run;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    PROCESS_INFORMATION process;
    bool started = Launch(path, arguments, &process, &startup, TRUE);
    CloseHandle(writeEnd);
    if (started) {
        // Read while it runs, so that a full pipe never holds it up.
        std::thread reader([&run, readEnd] {
            char buffer[4096];
            DWORD read;
            while (ReadFile(readEnd, buffer, sizeof buffer, &read, NULL) && read > 0)
                run.output.append(buffer, read);
        });
        MessageBoxAnswerer answerer(answer, process.dwProcessId);
        if (WaitForSingleObject(process.hProcess, deadlineMilliseconds) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.hProcess, &run.exitCode);
        } else {
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 10000);
        }
        run.seen = answerer.Seen();
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        reader.join();
    }
    CloseHandle(readEnd);
    return run;
}
