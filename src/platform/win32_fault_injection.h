// Fault injection for the Win32 calls of the Windows backend, for test builds only.
// Every file, directory, lock and console call there is written
// QV_WIN32_CALL(Name)(args): in a shipped EXE that is the plain call. Built with
// QV_WIN_FAULTS, each call is counted by function and source line and, by the
// rules in the environment, fails with a chosen Windows error, ends the process at
// once, or delivers a console control event:
//   QVF_RULE1..8  "func=NAME site=0xLINE nth=N path=PART do=fail|crash|interrupt|action
//                 errno=CODE|NAME when=after act=poke,PATH,OFFSET,HEX"
//   QVF_COUNTS    file: "FUNC 0xLINE TOTAL BEFORE" per call site at exit (BEFORE: the
//                 calls made before the first rule fired)
//   QVF_LOG       file: "fired rule=R func=F site=0xS path=P"
#pragma once

#if !defined(QV_WIN_FAULTS)

#define QV_WIN32_CALL(fn) fn

#else

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <type_traits>

namespace platform::win32_faults {

// Counts a call and fires the first rule it meets: a crash or an interrupt acts
// here. Returns the fired rule (0: none); Fails says whether the call must fail,
// ErrorOf with which Windows error.
int Enter(const char* function, int line, const char* path, const char* path2);
bool Fails(int rule);
DWORD ErrorOf(int rule);
// CloseHandle and FindClose, which release their handle even when they fail.
bool IsClose(const char* function);
// After the real call: the rule's "when=after" action.
void Leave(int rule);
// Handles are known by the path they were opened with, for the rules and the log.
void DescribeHandle(const void* handle, char* path, size_t size);
void RememberHandle(const void* handle, const char* path);
void ForgetHandle(const void* handle);
// The console control handler an interrupt is delivered to.
void RememberHandler(PHANDLER_ROUTINE handler);
// What the named function returns when it fails.
void* FailurePointer(const char* function);
long long FailureNumber(const char* function);

template <class T>
const char* PathOf(T arg, char* buffer, size_t size) {
  if constexpr (std::is_same_v<T, const char*>) {
    return arg;
  } else if constexpr (std::is_same_v<T, HANDLE>) {
    DescribeHandle(arg, buffer, size);
    return buffer;
  } else {
    return nullptr;
  }
}

template <class F, class First, class... Rest>
auto Call(const char* function, int line, F fn, First first, Rest... rest) {
  using Result = decltype(fn(first, rest...));
  char described[MAX_PATH] = "";
  const char* path = PathOf(first, described, sizeof described);
  const char* path2 = nullptr;  // a move's target
  if constexpr (sizeof...(Rest) > 0) {
    path2 = [](auto second, auto...) {
      (void)second;
      if constexpr (std::is_same_v<decltype(second), const char*>) return second;
      return static_cast<const char*>(nullptr);
    }(rest...);
  }
  if constexpr (std::is_same_v<First, PHANDLER_ROUTINE>) RememberHandler(first);
  if constexpr (std::is_same_v<First, HANDLE>) {
    if (IsClose(function)) ForgetHandle(first);
  }
  const int rule = Enter(function, line, path, path2);
  if (Fails(rule)) {
    if (IsClose(function)) fn(first, rest...);
    SetLastError(ErrorOf(rule));
    if constexpr (std::is_pointer_v<Result>) {
      return static_cast<Result>(FailurePointer(function));
    } else {
      return static_cast<Result>(FailureNumber(function));
    }
  }
  const Result result = fn(first, rest...);
  // What the call left for GetLastError (ERROR_ALREADY_EXISTS after a success
  // included) is the caller's, whatever the bookkeeping calls.
  const DWORD lastError = GetLastError();
  if constexpr (std::is_same_v<Result, HANDLE>) {
    if (path != nullptr && result != INVALID_HANDLE_VALUE && result != nullptr) {
      RememberHandle(result, path);
    }
  }
  Leave(rule);
  SetLastError(lastError);
  return result;
}

}  // namespace platform::win32_faults

#define QV_WIN32_CALL(fn)                                               \
  [](auto... args) {                                                    \
    return ::platform::win32_faults::Call(#fn, __LINE__, fn, args...); \
  }

#endif
