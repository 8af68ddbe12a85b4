// Watches the registry calls and message boxes of one module, by patching that module's import
// table: the calls in order, the buffer sizes it offers, the keys it leaves open, the boxes'
// flags, owner, caption and text, and registry failures on demand.
#pragma once
#include <windows.h>

#include <set>
#include <string>
#include <vector>

class ImportSpy {
public:
    explicit ImportSpy(HMODULE module);
    ~ImportSpy();  // restores the module's imports

    // One line a call: "open", "create", "query NAME SIZE", "set NAME", "close"; a failed open
    // or create ends in " failed". A message box (still shown) is "box FLAGS OWNER \"CAPTION\"
    // TEXT", FLAGS in hexadecimal and OWNER "owned" or "unowned".
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
