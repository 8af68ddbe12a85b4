#include "import_spy.h"

#include <gtest/gtest.h>

namespace {

ImportSpy* active = nullptr;

// The real calls, found by name: the spies live in a module whose imports may be patched too.
template <typename Function> Function Real(const char* name)
{
    const wchar_t* library = strcmp(name, "MessageBoxW") == 0 ? L"user32.dll" : L"advapi32.dll";
    return (Function)(void*)GetProcAddress(GetModuleHandleW(library), name);
}

std::string Narrow(LPCWSTR text)
{
    std::string narrow;
    for (; text != NULL && *text; ++text)
        narrow += *text < 128 ? (char)*text : '?';
    return narrow;
}

LONG WINAPI SpyOpen(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key)
{
    if (path != NULL && active->unwatchedKey == path) {
        LONG status = Real<decltype(&RegOpenKeyExW)>("RegOpenKeyExW")(root, path, options, access, key);
        if (status == ERROR_SUCCESS)
            active->unwatchedKeys.insert(*key);
        return status;
    }
    if (active->failKeys) {
        active->calls.push_back("open failed");
        return ERROR_ACCESS_DENIED;
    }
    LONG status = Real<decltype(&RegOpenKeyExW)>("RegOpenKeyExW")(root, path, options, access, key);
    active->calls.push_back(status == ERROR_SUCCESS ? "open" : "open failed");
    if (status == ERROR_SUCCESS)
        active->openKeys.insert(*key);
    return status;
}

LONG WINAPI SpyCreate(HKEY root, LPCWSTR path, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
                      const LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition)
{
    if (active->failKeys) {
        active->calls.push_back("create failed");
        return ERROR_ACCESS_DENIED;
    }
    LONG status = Real<decltype(&RegCreateKeyExW)>("RegCreateKeyExW")(root, path, reserved, keyClass, options, access, security, key, disposition);
    active->calls.push_back(status == ERROR_SUCCESS ? "create" : "create failed");
    if (status == ERROR_SUCCESS)
        active->openKeys.insert(*key);
    return status;
}

LONG WINAPI SpyQuery(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    if (!active->unwatchedKeys.count(key))
        active->calls.push_back("query " + Narrow(name) + " " + (size ? std::to_string(*size) : std::string("-")));
    return Real<decltype(&RegQueryValueExW)>("RegQueryValueExW")(key, name, reserved, type, data, size);
}

LONG WINAPI SpySet(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    active->calls.push_back("set " + Narrow(name));
    if (active->failWriteOf == (name ? name : L""))
        return ERROR_ACCESS_DENIED;
    return Real<decltype(&RegSetValueExW)>("RegSetValueExW")(key, name, reserved, type, data, size);
}

LONG WINAPI SpyClose(HKEY key)
{
    if (!active->unwatchedKeys.erase(key))
        active->calls.push_back("close");
    active->openKeys.erase(key);
    return Real<decltype(&RegCloseKey)>("RegCloseKey")(key);
}

int WINAPI SpyMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT flags)
{
    char line[64];
    snprintf(line, sizeof line, "box 0x%x %s \"", flags, owner != NULL ? "owned" : "unowned");
    active->calls.push_back(line + Narrow(caption) + "\" " + Narrow(text));
    return Real<decltype(&MessageBoxW)>("MessageBoxW")(owner, text, caption, flags);
}

struct Hook {
    const char* name;
    void* spy;
};

const Hook hooks[] = {
    {"RegOpenKeyExW", (void*)SpyOpen},   {"RegCreateKeyExW", (void*)SpyCreate}, {"RegQueryValueExW", (void*)SpyQuery},
    {"RegSetValueExW", (void*)SpySet},   {"RegCloseKey", (void*)SpyClose},     {"MessageBoxW", (void*)SpyMessageBox},
};

void WriteImport(void** slot, void* value)
{
    DWORD old;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old, &old);
}

// Points the module's imports of the hooked functions at the spies (install) or back.
int PatchImports(HMODULE module, bool install)
{
    BYTE* base = (BYTE*)module;
    IMAGE_NT_HEADERS* headers = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY directory = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    int patched = 0;
    for (IMAGE_IMPORT_DESCRIPTOR* dll = (IMAGE_IMPORT_DESCRIPTOR*)(base + directory.VirtualAddress); dll->Name; ++dll) {
        IMAGE_THUNK_DATA* names = (IMAGE_THUNK_DATA*)(base + dll->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + dll->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const char* name = (const char*)((IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name;
            for (const Hook& hook : hooks)
                if (strcmp(name, hook.name) == 0) {
                    WriteImport((void**)&slots->u1.Function, install ? hook.spy : Real<void*>(hook.name));
                    ++patched;
                }
        }
    }
    return patched;
}

}  // namespace

ImportSpy::ImportSpy(HMODULE module) : module(module)
{
    EXPECT_EQ(nullptr, active) << "one spy at a time";
    active = this;
    EXPECT_LT(0, PatchImports(module, true)) << "the module imports no call to watch";
}

ImportSpy::~ImportSpy()
{
    PatchImports(module, false);
    active = nullptr;
}
