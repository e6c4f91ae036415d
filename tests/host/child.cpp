#include "child.h"

#include <windows.h>

ChildResult RunChild(const std::string& commandLine, unsigned long timeoutMs)
{
    ChildResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = input;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi = {};
    std::string line = commandLine;
    result.Started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                    &si, &pi) != 0;
    CloseHandle(writeEnd);
    if (input != INVALID_HANDLE_VALUE)
        CloseHandle(input);
    if (!result.Started) {
        CloseHandle(readEnd);
        return result;
    }
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(readEnd, buf, sizeof buf, &n, nullptr) && n > 0)
        result.Output.append(buf, n);
    CloseHandle(readEnd);
    // The program writes its standard output in text mode: compare in line-feed form.
    std::string plain;
    for (size_t i = 0; i < result.Output.size(); ++i) {
        if (!(result.Output[i] == '\r' && i + 1 < result.Output.size() && result.Output[i + 1] == '\n'))
            plain += result.Output[i];
    }
    result.Output = plain;
    if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 0xDEAD);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    result.ExitCode = code;
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return result;
}

std::string OwnFolder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}
