// GoogleTest's Notification (how its Win32 thread helper lets a new thread start) on a Win32
// event. GoogleTest's own version needs std::mutex, which the win32-thread compilers lack; its
// mutexes and thread-local values on Windows are its own Win32 ones already. Included ahead of
// every file of GoogleTest and of the test programs, so all of them see one definition.
#pragma once

#ifdef __cplusplus
#include <windows.h>

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing
#endif
