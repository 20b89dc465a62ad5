// Console ends of the stand-in programs: when to quit, and UTF-8 output.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>

namespace standin {

// Sets every event given on Ctrl-C or Ctrl-Break and, with `watchStdin`, when
// standard input reaches end of file. For the life of the process.
void SetEventsOnConsoleEnd(std::initializer_list<HANDLE> events, bool watchStdin);

std::string ToUtf8(const std::wstring& text);

} // namespace standin
