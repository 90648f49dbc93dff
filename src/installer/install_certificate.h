#pragma once

#include <windows.h>

// Adds one certificate, given as base64 text, to the named system store of the
// local computer. On false the platform's last error says why.
bool InstallCertificate(const char* base64Text, LPCWSTR storeName);
