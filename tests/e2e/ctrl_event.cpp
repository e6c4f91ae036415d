// ctrl_event: delivers a console control event to every running process of one image name, the
// way Windows itself does: a thread started in the process at CtrlRoutine, with the event as its
// argument, runs the process's handler list. Wine's console passes on Ctrl+C only (Ctrl+Break
// from GenerateConsoleCtrlEvent fails there), so the end-to-end tests use this for Ctrl+Break.
//
// Usage: ctrl_event c|break IMAGE.exe   Exit code: 0 sent to at least one process, 1 usage,
// 2 no such process, 3 a process could not be reached.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD REACH_WAIT_MS = 5000;

int SendTo(DWORD pid, LPTHREAD_START_ROUTINE routine, DWORD event)
{
    HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                                     PROCESS_VM_WRITE | PROCESS_VM_READ,
                                 FALSE, pid);
    if (process == nullptr) {
        fprintf(stderr, "ctrl_event: OpenProcess(%lu) failed with %lu\n", pid, GetLastError());
        return 0;
    }
    void* argument = reinterpret_cast<void*>(static_cast<ULONG_PTR>(event));
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, routine, argument, 0, nullptr);
    DWORD error = GetLastError();
    CloseHandle(process);
    if (thread == nullptr) {
        fprintf(stderr, "ctrl_event: CreateRemoteThread in %lu failed with %lu\n", pid, error);
        return 0;
    }
    WaitForSingleObject(thread, REACH_WAIT_MS);
    CloseHandle(thread);
    printf("ctrl_event: event %lu sent to process %lu\n", event, pid);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (strcmp(argv[1], "c") != 0 && strcmp(argv[1], "break") != 0)) {
        fprintf(stderr, "usage: ctrl_event c|break IMAGE.exe\n");
        return 1;
    }
    DWORD event = strcmp(argv[1], "c") == 0 ? CTRL_C_EVENT : CTRL_BREAK_EVENT;
    // kernel32 lies at the same address in every process of a session.
    auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine")));
    if (routine == nullptr) {
        fprintf(stderr, "ctrl_event: kernel32 has no CtrlRoutine\n");
        return 3;
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "ctrl_event: CreateToolhelp32Snapshot failed with %lu\n", GetLastError());
        return 3;
    }
    int found = 0;
    int reached = 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, argv[2]) != 0)
            continue;
        ++found;
        reached += SendTo(entry.th32ProcessID, routine, event);
    }
    CloseHandle(snapshot);
    if (found == 0) {
        fprintf(stderr, "ctrl_event: no process %s\n", argv[2]);
        return 2;
    }
    return reached == found ? 0 : 3;
}
