// Quillmere's resource identifiers, by kind.
#pragma once

// Strings
#define IDS_WINDOW_TITLE 1
#define IDS_WINDOW_CLASS 2

// Accelerator tables
#define IDR_ACCELERATORS 2

// Icons
#define IDI_QUILLMERE 101

// Commands
#define IDM_CLOSE 32771
