#include "metrics_file.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>

#include "debug.h"
#include "metrics.h"

namespace {

// The logs' own DACL (configuration.md, "Where logs may be written"): SYSTEM and the
// Administrators, nobody else. The collector (windows_exporter) runs as LocalSystem; the file
// takes the DACL with it when it replaces the last one.
constexpr char FILE_SDDL[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";

}  // namespace

unsigned long MetricsWriteFile(const char* path, const char* text, size_t len)
{
    char temp[MAX_PATH];
    if (snprintf(temp, sizeof temp, "%s%s", path, METRICS_TEMP_SUFFIX) >= static_cast<int>(sizeof temp))
        return ERROR_FILENAME_EXCED_RANGE;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
    if (IsNtFamily() &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(FILE_SDDL, SDDL_REVISION_1, &sa.lpSecurityDescriptor,
                                                              nullptr))
        return GetLastError();
    // The temporary file is the service's own: a leftover of an earlier run is replaced whole.
    HANDLE file = CreateFileA(temp, GENERIC_WRITE, 0, sa.lpSecurityDescriptor ? &sa : nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    unsigned long err = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (sa.lpSecurityDescriptor != nullptr)
        LocalFree(sa.lpSecurityDescriptor);
    if (err != 0)
        return err;
    DWORD written = 0;
    if (!WriteFile(file, text, static_cast<DWORD>(len), &written, nullptr))
        err = GetLastError();
    else if (written != len)
        err = ERROR_HANDLE_DISK_FULL;
    CloseHandle(file);
    if (err != 0)
        goto cleanup;
    if (IsNtFamily()) {
        if (!MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING))
            err = GetLastError();
    } else {
        // The 9x family has no replacing rename: for a moment there is no file, which a
        // collector reads as no metrics rather than as half of them.
        DeleteFileA(path);
        if (!MoveFileA(temp, path))
            err = GetLastError();
    }
cleanup:
    if (err != 0)
        DeleteFileA(temp);
    return err;
}
