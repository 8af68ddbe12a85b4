// The files the stand-in installer writes, on the device's drive C: and in its security state:
// names that Windows keeps as written, whole writes, and the places no package may write.
#pragma once
#include <windows.h>

// Whether a name (a cabinet's member, a folder or file of a package, an application) names a
// file of its own in whatever folder it is joined to: not empty, no character a Windows name
// cannot hold, and resolved by Windows to itself (not so a trailing dot or space, which Windows
// drops, so that "x." would be "x" and ".." the parent, nor a device name such as NUL or COM1).
BOOL IsPlainName(LPCWSTR name, int length);
// The same for an 8-bit name, widened as the installer widens it to build a path (%hs).
BOOL IsPlainNameA(const char* name, int length);

// The whole file or nothing: written (or copied) beside it and then moved over it, so that no
// failure leaves part of a file, and a file linked to another is replaced rather than changed.
BOOL WriteWhole(LPCWSTR path, const void* data, DWORD size);
BOOL CopyWhole(LPCWSTR source, LPCWSTR path);

// Why a package may not put a file or make a folder at this full path on the device, or NULL when
// it may: anything in Wine's own Windows or Program Files folders is refused. No folder macro
// leads there (the device's \Windows and \Program Files are folders of their own); this is the
// guard behind that.
LPCWSTR ProtectedPlace(LPCWSTR path);
