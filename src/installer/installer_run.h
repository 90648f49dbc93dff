#pragma once

#include <windows.h>

// The whole behaviour of one launch; returns the process exit status, always 1.
int InstallerRun(LPCWSTR commandTail);
