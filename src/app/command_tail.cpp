#include "command_tail.h"

LPWSTR CommandTail(LPWSTR commandLine) {
  if (commandLine == nullptr) return nullptr;

  // The program name runs to the first blank or control character outside
  // quotes; a quoted path may hold blanks (and "-s").
  bool quoted = false;
  LPWSTR at = commandLine;
  for (;; ++at) {
    if (*at == 0) return at;
    if (*at <= TEXT(' ') && !quoted) break;
    if (*at == TEXT('"')) quoted = !quoted;
  }
  while (*at != 0 && *at <= TEXT(' ')) ++at;
  return at;
}
