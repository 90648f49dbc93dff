// The certificates that the program installs, in installation order.
#pragma once

#include <windows.h>

struct EmbeddedCertificate {
  const char* Base64Text;  // DER in one-line base64, NUL-terminated
  LPCWSTR StoreName;       // local computer's system store: "ROOT" or "CA"
};

inline constexpr int EmbeddedCertificateCount = 12;

extern const EmbeddedCertificate EmbeddedCertificates[EmbeddedCertificateCount];
