#include "fake_platform.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <set>

namespace fake {
namespace {

Platform g_platform;
std::set<const void*> g_liveContexts;
std::set<const void*> g_liveStores;
std::set<const void*> g_liveBlocks;
char g_processHeap;

std::uintptr_t Arg(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::u16string Wide(LPCWSTR s) { return s != nullptr ? std::u16string(s) : std::u16string(); }

Call& Record(const char* function, std::vector<std::uintptr_t> args) {
  g_platform.calls.push_back(Call{function, std::move(args), {}, {}, {}});
  return g_platform.calls.back();
}

// Consumes the next scripted step; an unscripted call succeeds.
bool Perform(std::deque<Step>& script) {
  if (script.empty()) return true;
  const Step step = script.front();
  script.pop_front();
  if (!step.succeeds) g_platform.lastError = step.lastError;
  return step.succeeds;
}

}  // namespace

Platform& Reset() {
  g_platform = Platform{};
  // Whatever a failed test left live is dropped here; the counts have already told.
  for (const void* context : g_liveContexts) delete static_cast<const CERT_CONTEXT*>(context);
  g_liveContexts.clear();
  for (const void* store : g_liveStores) delete static_cast<const char*>(store);
  g_liveStores.clear();
  for (const void* block : g_liveBlocks) std::free(const_cast<void*>(block));
  g_liveBlocks.clear();
  return g_platform;
}

Platform& State() { return g_platform; }

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const Call& call : g_platform.calls) names.push_back(call.function);
  return names;
}

std::vector<Call> CallsTo(const std::string& function) {
  std::vector<Call> found;
  for (const Call& call : g_platform.calls)
    if (call.function == function) found.push_back(call);
  return found;
}

}  // namespace fake

using fake::Arg;
using fake::g_platform;

DWORD WINAPI GetLastError() {
  fake::Record("GetLastError", {});
  return g_platform.lastError;
}

HANDLE WINAPI GetProcessHeap() { return &fake::g_processHeap; }

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  fake::Record("HeapAlloc", {Arg(hHeap), dwFlags, dwBytes});
  EXPECT_EQ(hHeap, &fake::g_processHeap) << "HeapAlloc: not the process heap";
  if (g_platform.heapRefuses) return nullptr;  // HeapAlloc without HEAP_GENERATE_EXCEPTIONS sets no last error
  // malloc, not a pool: AddressSanitizer then sees any write past the block.
  void* block = std::malloc(dwBytes);
  fake::g_liveBlocks.insert(block);
  ++g_platform.heapBlocksAllocated;
  return block;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
  fake::Record("HeapFree", {Arg(hHeap), dwFlags, Arg(lpMem)});
  EXPECT_EQ(hHeap, &fake::g_processHeap) << "HeapFree: not the process heap";
  if (fake::g_liveBlocks.erase(lpMem) != 1) {
    ADD_FAILURE() << "HeapFree: block " << lpMem << " is not allocated";
    return FALSE;
  }
  std::free(lpMem);
  ++g_platform.heapBlocksFreed;
  return TRUE;
}

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  fake::Call& call = fake::Record("MessageBoxW", {Arg(hWnd), Arg(lpText), Arg(lpCaption), uType});
  call.text = fake::Wide(lpText);
  call.caption = fake::Wide(lpCaption);
  if (g_platform.messageBoxResults.empty()) return IDOK;
  const int result = g_platform.messageBoxResults.front();
  g_platform.messageBoxResults.pop_front();
  return result;
}

// The subset of the platform's formatting that the program may use: %%, and
// %x, %X, %u, %d with an optional zero flag and width. Anything else is a test
// failure, so a format change cannot pass unnoticed. Like the platform, it
// writes at most 1024 units, terminator included.
int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
  std::u16string out;
  va_list args;
  va_start(args, format);
  for (LPCWSTR f = format; *f != 0; ++f) {
    if (*f != u'%') {
      out += *f;
      continue;
    }
    ++f;
    if (*f == u'%') {
      out += u'%';
      continue;
    }
    const bool zero = *f == u'0';
    if (zero) ++f;
    unsigned width = 0;
    for (; *f >= u'0' && *f <= u'9'; ++f) width = width * 10 + static_cast<unsigned>(*f - u'0');
    std::string digits;
    char text[32];
    switch (*f) {
      case u'x': std::snprintf(text, sizeof text, "%x", va_arg(args, unsigned)); break;
      case u'X': std::snprintf(text, sizeof text, "%X", va_arg(args, unsigned)); break;
      case u'u': std::snprintf(text, sizeof text, "%u", va_arg(args, unsigned)); break;
      case u'd': std::snprintf(text, sizeof text, "%d", va_arg(args, int)); break;
      default:
        ADD_FAILURE() << "wsprintfW: conversion not supported by the fake";
        va_end(args);
        return 0;
    }
    digits = text;
    while (digits.size() < width) digits.insert(digits.begin(), zero ? '0' : ' ');
    out.append(digits.begin(), digits.end());
  }
  va_end(args);
  if (out.size() > 1023) out.resize(1023);
  std::memcpy(buffer, out.c_str(), (out.size() + 1) * sizeof(WCHAR));
  fake::Call& call = fake::Record("wsprintfW", {Arg(buffer), Arg(format)});
  call.text = out;
  call.caption = fake::Wide(format);
  return static_cast<int>(out.size());
}

BOOL WINAPI CryptQueryObject(DWORD dwObjectType, const void* pvObject,
                             DWORD dwExpectedContentTypeFlags,
                             DWORD dwExpectedFormatTypeFlags, DWORD dwFlags,
                             DWORD* pdwMsgAndCertEncodingType, DWORD* pdwContentType,
                             DWORD* pdwFormatType, HCERTSTORE* phCertStore,
                             HCRYPTMSG* phMsg, const void** ppvContext) {
  fake::Call& call = fake::Record(
      "CryptQueryObject",
      {dwObjectType, Arg(pvObject), dwExpectedContentTypeFlags, dwExpectedFormatTypeFlags,
       dwFlags, Arg(pdwMsgAndCertEncodingType), Arg(pdwContentType), Arg(pdwFormatType),
       Arg(phCertStore), Arg(phMsg), Arg(ppvContext)});
  if (dwObjectType == CERT_QUERY_OBJECT_BLOB && pvObject != nullptr) {
    const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvObject);
    call.bytes.assign(reinterpret_cast<const char*>(blob->pbData), blob->cbData);
  }
  if (!fake::Perform(g_platform.queryObject)) return FALSE;
  auto* context = new CERT_CONTEXT{};
  fake::g_liveContexts.insert(context);
  ++g_platform.contextsAcquired;
  if (ppvContext != nullptr) *ppvContext = context;
  return TRUE;
}

HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                                HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags,
                                const void* pvPara) {
  fake::Call& call = fake::Record(
      "CertOpenStore", {Arg(lpszStoreProvider), dwEncodingType, hCryptProv, dwFlags, Arg(pvPara)});
  call.text = fake::Wide(static_cast<LPCWSTR>(pvPara));
  if (!fake::Perform(g_platform.openStore)) return nullptr;
  auto* store = new char;
  fake::g_liveStores.insert(store);
  ++g_platform.storesOpened;
  return store;
}

BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                             DWORD dwAddDisposition,
                                             PCCERT_CONTEXT* ppStoreContext) {
  fake::Record("CertAddCertificateContextToStore",
               {Arg(hCertStore), Arg(pCertContext), dwAddDisposition, Arg(ppStoreContext)});
  EXPECT_EQ(fake::g_liveStores.count(hCertStore), 1U) << "CertAddCertificateContextToStore: store not open";
  EXPECT_EQ(fake::g_liveContexts.count(pCertContext), 1U) << "CertAddCertificateContextToStore: context not live";
  return fake::Perform(g_platform.addCertificate) ? TRUE : FALSE;
}

BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  fake::Record("CertCloseStore", {Arg(hCertStore), dwFlags});
  if (fake::g_liveStores.erase(hCertStore) != 1) {
    ADD_FAILURE() << "CertCloseStore: store " << hCertStore << " is not open";
    return FALSE;
  }
  delete static_cast<char*>(hCertStore);
  ++g_platform.storesClosed;
  if (g_platform.lastErrorAfterClose != 0) g_platform.lastError = g_platform.lastErrorAfterClose;
  return TRUE;
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  fake::Record("CertFreeCertificateContext", {Arg(pCertContext)});
  if (pCertContext == nullptr) return TRUE;  // the platform accepts null
  if (fake::g_liveContexts.erase(pCertContext) != 1) {
    ADD_FAILURE() << "CertFreeCertificateContext: context " << pCertContext << " is not live";
    return FALSE;
  }
  delete pCertContext;
  ++g_platform.contextsReleased;
  if (g_platform.lastErrorAfterFree != 0) g_platform.lastError = g_platform.lastErrorAfterFree;
  return TRUE;
}
