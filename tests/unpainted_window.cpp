// A full-screen window that never paints: the screen keeps whatever was there before. The wait
// for Quillmere's form must not take it for the form.
#include <windows.h>

static LRESULT CALLBACK UnpaintedWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        ValidateRect(window, NULL);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = UnpaintedWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"UNPAINTED";
    if (!RegisterClassW(&windowClass))
        return 1;
    if (CreateWindowExW(0, L"UNPAINTED", L"Quillmere", WS_POPUP | WS_VISIBLE, 0, 0, GetSystemMetrics(SM_CXSCREEN),
                        GetSystemMetrics(SM_CYSCREEN), NULL, NULL, instance, NULL) == NULL)
        return 1;
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
