// One row of the table that scripts/kit.py generates from the embedded
// certificate table, for the package's own steps in the stores.
#pragma once

#include <windows.h>

struct ExpectedCertificate {
  int Row;
  LPCWSTR StoreName;   // local computer's system store
  LPCWSTR Thumbprint;  // SHA-1, for the log
  BYTE Sha1[20];
};
