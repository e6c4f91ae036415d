// The status block through real named mappings (under Wine), with a second process where the
// guard against a second copy is concerned.
#include "ident.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char kAddr15[CONFIG_ADDR_SIZE] = "192.168.100.200";

std::string Bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

// Another holder of a mapping under the given name, with the given 20 bytes.
HANDLE MakeForeignBlock(const char* name, const uint8_t* content)
{
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, IDENT_SIZE, name);
    if (h == nullptr)
        return nullptr;
    void* view = MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, IDENT_SIZE);
    memcpy(view, content, IDENT_SIZE);
    UnmapViewOfFile(view);
    return h;
}

// Runs this program again with one disabled test of its own; returns its exit code and output.
DWORD RunChild(const char* test, std::string* output)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    char cmd[2 * MAX_PATH];
    snprintf(cmd, sizeof cmd, "\"%s\" --gtest_also_run_disabled_tests --gtest_filter=%s", self, test);
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0))
        return 0xFFFFFFFF;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessA(nullptr, cmd, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return 0xFFFFFFFF;
    }
    char buf[4096];
    DWORD got;
    while (ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got > 0)
        output->append(buf, got);
    CloseHandle(readEnd);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

TEST(Ident, NoBlockReadsZeroAndLeavesThePlacesAlone)
{
    uint32_t pid = 0xDEADBEEF;
    char addr[CONFIG_ADDR_SIZE];
    memset(addr, 'x', sizeof addr);
    EXPECT_EQ(0, ReadIdent(&pid, addr));
    EXPECT_EQ(0xDEADBEEFu, pid);
    EXPECT_EQ(std::string(CONFIG_ADDR_SIZE, 'x'), Bytes(addr, sizeof addr));
    EXPECT_EQ(0, ReadIdent(nullptr, nullptr));
}

TEST(Ident, PublishedBlockIsReadBackWholeUntilItsOwnerClosesIt)
{
    HANDLE ident = CreateIdent(kAddr15);
    ASSERT_NE(nullptr, ident);

    // The layout as any other reader sees it.
    HANDLE raw = OpenFileMappingA(FILE_MAP_READ, FALSE, "PaymentTermServiceSharedFile");
    ASSERT_NE(nullptr, raw);
    const uint8_t* view = static_cast<const uint8_t*>(MapViewOfFile(raw, FILE_MAP_READ, 0, 0, IDENT_SIZE));
    ASSERT_NE(nullptr, view);
    DWORD self = GetCurrentProcessId();
    const uint8_t pidBytes[4] = {uint8_t(self), uint8_t(self >> 8), uint8_t(self >> 16), uint8_t(self >> 24)};
    EXPECT_EQ(Bytes(pidBytes, 4), Bytes(view, 4));
    EXPECT_EQ(Bytes(kAddr15, CONFIG_ADDR_SIZE), Bytes(view + 4, CONFIG_ADDR_SIZE));
    UnmapViewOfFile(view);
    CloseHandle(raw);

    uint32_t pid = 0;
    char addr[CONFIG_ADDR_SIZE] = {};
    EXPECT_EQ(1, ReadIdent(&pid, addr));
    EXPECT_EQ(self, pid);
    EXPECT_EQ(Bytes(kAddr15, CONFIG_ADDR_SIZE), Bytes(addr, sizeof addr)) << "15 characters and the NUL";
    EXPECT_EQ(1, ReadIdent(nullptr, nullptr)) << "a pure test of whether the service runs";
    pid = 0;
    EXPECT_EQ(1, ReadIdent(&pid, nullptr));
    EXPECT_EQ(self, pid);

    EXPECT_TRUE(CloseIdent(ident));
    EXPECT_EQ(0, ReadIdent(nullptr, nullptr));
    EXPECT_FALSE(CloseIdent(nullptr));
}

TEST(Ident, SecondCopyIsRefusedAndTheFirstBlockStaysAsItWas)
{
    HANDLE first = CreateIdent("10.1.2.3");
    ASSERT_NE(nullptr, first);

    testing::internal::CaptureStdout();
    HANDLE second = CreateIdent("10.9.9.9");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ("CreateIdent - already running ?!?!?\n", out);

    // Another process, as a second copy of the service would be.
    std::string childOut;
    EXPECT_EQ(0u, RunChild("IdentChild.DISABLED_CreateIsRefused", &childOut)) << childOut;
    // A text-mode stream: the line feed reaches the pipe as CR LF.
    EXPECT_NE(std::string::npos, childOut.find("\nCreateIdent - already running ?!?!?\r\n")) << childOut;

    char addr[CONFIG_ADDR_SIZE] = {};
    uint32_t pid = 0;
    EXPECT_EQ(1, ReadIdent(&pid, addr));
    EXPECT_EQ(GetCurrentProcessId(), pid);
    EXPECT_STREQ("10.1.2.3", addr);
    EXPECT_TRUE(CloseIdent(first));
}

// Run only as the child of the test above.
TEST(IdentChild, DISABLED_CreateIsRefused)
{
    ASSERT_EQ(1, ReadIdent(nullptr, nullptr));
    EXPECT_EQ(nullptr, CreateIdent("10.9.9.9"));
}

TEST(Ident, ViewThatCannotBeMappedForWritingIsReported)
{
    HANDLE owner = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, IDENT_SIZE,
                                      "DulvexIdentTestReadOnly");
    ASSERT_NE(nullptr, owner);
    HANDLE readOnly = OpenFileMappingA(FILE_MAP_READ, FALSE, "DulvexIdentTestReadOnly");
    ASSERT_NE(nullptr, readOnly);
    testing::internal::CaptureStdout();
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, UpdateIdent(readOnly, kAddr15));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("UpdateIdent - MapError: 5, 00000005\n", out);
    CloseHandle(readOnly);
    CloseHandle(owner);
}

TEST(Ident, ForeignBlocksAreFoundUnderTheGlobalNameAndReadSafely)
{
    uint8_t content[IDENT_SIZE];
    content[0] = 0x44;
    content[1] = 0x33;
    content[2] = 0x22;
    content[3] = 0x11;
    memset(content + 4, 'A', CONFIG_ADDR_SIZE);  // no NUL anywhere in the address
    HANDLE global = MakeForeignBlock("Global\\PaymentTermServiceSharedFile", content);
    ASSERT_NE(nullptr, global);
    uint32_t pid = 0;
    char addr[CONFIG_ADDR_SIZE];
    EXPECT_EQ(1, ReadIdent(&pid, addr));
    EXPECT_EQ(0x11223344u, pid);
    EXPECT_EQ(std::string(15, 'A') + '\0', Bytes(addr, sizeof addr));
    CloseHandle(global);
    EXPECT_EQ(0, ReadIdent(nullptr, nullptr));
}

}  // namespace
