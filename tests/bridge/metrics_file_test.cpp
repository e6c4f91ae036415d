// The metrics file's write under Wine: the whole text replaces the file, nothing is left beside
// it, and a failed step leaves the old file and no temporary one; the same on the 9x family's
// path (GetVersion's high bit, through this program's import slot).
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>

#include "metrics.h"
#include "metrics_file.h"

namespace {

bool Legacy = false;

DWORD WINAPI Version() { return Legacy ? 0xC0000A04u : 0x0A280105u; }

}  // namespace

extern "C" {
DWORD(WINAPI* __imp_GetVersion)() = Version;
}

namespace {

std::string Folder()
{
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%sdulvex-metrics-%lu", dir, GetCurrentProcessId());
    CreateDirectoryA(path, nullptr);
    return path;
}

std::string Read(const std::string& path)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return "(none)";
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST(MetricsFile, ReplacesWholeAndLeavesNothingBeside)
{
    std::string dir = Folder();
    std::string path = dir + "\\dulvex.prom";
    std::string temp = path + METRICS_TEMP_SUFFIX;
    for (bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "9x family" : "NT family");
        Legacy = legacy;
        DeleteFileA(path.c_str());
        // A temporary file left by a run that died is replaced, not appended to.
        FILE* stale = fopen(temp.c_str(), "wb");
        ASSERT_NE(nullptr, stale);
        fputs("stale stale stale stale stale\n", stale);
        fclose(stale);
        const char first[] = "a 1\n";
        EXPECT_EQ(0u, MetricsWriteFile(path.c_str(), first, sizeof first - 1));
        EXPECT_EQ(first, Read(path));
        EXPECT_FALSE(Exists(temp));
        const char second[] = "a 2\nb 3\n";
        EXPECT_EQ(0u, MetricsWriteFile(path.c_str(), second, sizeof second - 1));
        EXPECT_EQ(second, Read(path));
        EXPECT_FALSE(Exists(temp));

        // The temporary name is taken by a folder: the file keeps its last text.
        ASSERT_TRUE(CreateDirectoryA(temp.c_str(), nullptr));
        EXPECT_NE(0u, MetricsWriteFile(path.c_str(), first, sizeof first - 1));
        EXPECT_EQ(second, Read(path));
        RemoveDirectoryA(temp.c_str());

        // No folder at all: an error, and nothing made.
        std::string missing = dir + "\\no-such-folder\\dulvex.prom";
        EXPECT_EQ(static_cast<unsigned long>(ERROR_PATH_NOT_FOUND),
                  MetricsWriteFile(missing.c_str(), first, sizeof first - 1));
        EXPECT_FALSE(Exists(missing));
    }
    Legacy = false;
    DeleteFileA(path.c_str());
    RemoveDirectoryA(dir.c_str());
}

std::string DaclText(const std::string& path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &sd) != ERROR_SUCCESS)
        return "(none)";
    char* text = nullptr;
    std::string out = "(unreadable)";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                             nullptr)) {
        out = text;
        LocalFree(text);
    }
    LocalFree(sd);
    return out;
}

// The file carries the logs' DACL from its creation (Wine keeps it only as given then): no ACE
// for Everyone, whatever the folder would have passed on.
TEST(MetricsFile, MadeWithTheLogsDacl)
{
    std::string dir = Folder();
    std::string path = dir + "\dacl.prom";
    Legacy = false;
    ASSERT_EQ(0u, MetricsWriteFile(path.c_str(), "x 1\n", 4));
    std::string dacl = DaclText(path);
    EXPECT_EQ(std::string::npos, dacl.find(";WD)")) << dacl;
    EXPECT_NE(std::string::npos, dacl.find(";SY)")) << dacl;
    DeleteFileA(path.c_str());
    RemoveDirectoryA(dir.c_str());
}

// The target cannot be replaced (a folder of that name): the error comes back and the
// temporary file does not stay.
TEST(MetricsFile, UnreplaceableTargetLeavesNoTemporary)
{
    std::string dir = Folder();
    std::string path = dir + "\\taken.prom";
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
    for (bool legacy : {false, true}) {
        Legacy = legacy;
        EXPECT_NE(0u, MetricsWriteFile(path.c_str(), "x 1\n", 4)) << legacy;
        EXPECT_FALSE(Exists(path + METRICS_TEMP_SUFFIX)) << legacy;
    }
    Legacy = false;
    RemoveDirectoryA(path.c_str());
    RemoveDirectoryA(dir.c_str());
}

}  // namespace
