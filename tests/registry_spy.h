// Watches the registry calls one module makes, by patching that module's import table: the
// calls in order, the buffer sizes it offers, the keys it leaves open, and failures on demand.
#pragma once
#include <windows.h>

#include <set>
#include <string>
#include <vector>

class RegistrySpy {
public:
    explicit RegistrySpy(HMODULE module);
    ~RegistrySpy();  // restores the module's imports

    // One line a call: "open", "create", "query NAME SIZE", "set NAME", "close"; a failed open
    // or create ends in " failed".
    std::vector<std::string> calls;
    std::set<HKEY> openKeys;  // opened or created by the module and not closed since

    std::wstring failWriteOf;  // a write of this value fails with ERROR_ACCESS_DENIED, writing nothing
    bool failKeys = false;     // every open and create fails with ERROR_ACCESS_DENIED
    // A key the emulated device's stand-ins read through the same imports (the HAL's platform
    // name): calls on it are passed on and not recorded.
    std::wstring unwatchedKey;
    std::set<HKEY> unwatchedKeys;

private:
    HMODULE module;
};
