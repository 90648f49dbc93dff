#pragma once

#include <windows.h>

// The command tail of a full command line: what follows the program name and
// the blanks after it. Never null for a non-null line; points into it.
LPWSTR CommandTail(LPWSTR commandLine);
