// Test-side control of the fake platform: the record of calls, the scripted
// outcomes and the counts of what was acquired and released.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace fake {

struct Call {
  std::string function;
  std::vector<std::uintptr_t> args;  // every argument as passed; pointers as addresses
  std::u16string text;     // MessageBoxW text, CertOpenStore store name, wsprintfW output
  std::u16string caption;  // MessageBoxW caption, wsprintfW format
  std::string bytes;       // CryptQueryObject: the blob's bytes
};

// What one scripted call does; an empty script means success.
struct Step {
  bool succeeds;
  DWORD lastError;
};
inline Step Succeeds() { return {true, 0}; }
inline Step Fails(DWORD lastError) { return {false, lastError}; }

struct Platform {
  std::vector<Call> calls;

  std::deque<Step> queryObject;
  std::deque<Step> openStore;
  std::deque<Step> addCertificate;
  std::deque<int> messageBoxResults;  // empty: IDOK
  bool heapRefuses = false;
  DWORD lastErrorAfterClose = 0;  // non-zero: CertCloseStore leaves this last error
  DWORD lastErrorAfterFree = 0;   // non-zero: CertFreeCertificateContext leaves this one

  DWORD lastError = 0;
  int contextsAcquired = 0, contextsReleased = 0;
  int storesOpened = 0, storesClosed = 0;
  int heapBlocksAllocated = 0, heapBlocksFreed = 0;
};

// Clears the record, the scripts and the counts.
Platform& Reset();
Platform& State();

std::vector<std::string> CallNames();
std::vector<Call> CallsTo(const std::string& function);

}  // namespace fake
