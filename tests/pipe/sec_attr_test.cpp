// The security of the objects the service shares, read back from objects created with it.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <string>
#include <vector>

#include "PipeSrv.h"
#include "pipe_test_util.h"
#include "sec_attr.h"

namespace {

struct Entry {
    BYTE Type;
    DWORD Mask;
    std::string Sid;
};

std::string SidText(PSID sid)
{
    // S-1-<authority>-<sub>...; the authorities used here fit in the low byte.
    char text[256];
    SID_IDENTIFIER_AUTHORITY* auth = GetSidIdentifierAuthority(sid);
    int len = snprintf(text, sizeof text, "S-1-%u", auth->Value[5]);
    for (BYTE i = 0; i < *GetSidSubAuthorityCount(sid); ++i)
        len += snprintf(text + len, sizeof text - len, "-%lu", *GetSidSubAuthority(sid, i));
    return text;
}

std::vector<Entry> ReadDacl(HANDLE object)
{
    std::vector<Entry> entries;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                               &sd);
    EXPECT_EQ(rc, static_cast<DWORD>(ERROR_SUCCESS));
    if (rc != ERROR_SUCCESS)
        return entries;
    EXPECT_NE(dacl, nullptr) << "null DACL: everyone may do everything";
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)))
            break;
        // Allowed and denied entries share their layout.
        auto* body = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
        entries.push_back({ace->AceType, body->Mask, SidText(&body->SidStart)});
    }
    LocalFree(sd);
    return entries;
}

std::string ProcessUser()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return "";
    BYTE info[512];
    DWORD size;
    std::string sid;
    if (GetTokenInformation(token, TokenUser, info, sizeof info, &size))
        sid = SidText(reinterpret_cast<TOKEN_USER*>(info)->User.Sid);
    CloseHandle(token);
    return sid;
}

// Deny NETWORK, full control to SYSTEM, Administrators and (when it is neither) the account
// of this process, and the given rights to everyone else.
std::vector<Entry> Expected(DWORD full, DWORD others)
{
    std::vector<Entry> e = {
        {ACCESS_DENIED_ACE_TYPE, full, "S-1-5-2"},
        {ACCESS_ALLOWED_ACE_TYPE, full, "S-1-5-18"},
        {ACCESS_ALLOWED_ACE_TYPE, full, "S-1-5-32-544"},
    };
    std::string self = ProcessUser();
    if (self != "S-1-5-18" && self != "S-1-5-32-544")
        e.push_back({ACCESS_ALLOWED_ACE_TYPE, full, self});
    e.push_back({ACCESS_ALLOWED_ACE_TYPE, others, "S-1-1-0"});
    return e;
}

void ExpectEntries(const std::vector<Entry>& got, const std::vector<Entry>& want)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].Type, want[i].Type) << "entry " << i;
        EXPECT_EQ(got[i].Mask, want[i].Mask) << "entry " << i;
        EXPECT_EQ(got[i].Sid, want[i].Sid) << "entry " << i;
    }
}

TEST(SecurityAttributes, BuiltOnceAndInheritable)
{
    SECURITY_ATTRIBUTES* pipe = GetOpenSecurityAttributes();
    SECURITY_ATTRIBUTES* status = GetStatusSecurityAttributes();
    ASSERT_NE(pipe, nullptr);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(GetOpenSecurityAttributes(), pipe);
    EXPECT_EQ(GetStatusSecurityAttributes(), status);
    EXPECT_NE(pipe, status);
    EXPECT_EQ(pipe->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_EQ(pipe->bInheritHandle, TRUE);
    EXPECT_EQ(status->bInheritHandle, TRUE);
    EXPECT_EQ(IsNTPlatform(), (GetVersion() & 0x80000000u) == 0);
    ASSERT_TRUE(IsNTPlatform());
    EXPECT_NE(pipe->lpSecurityDescriptor, nullptr);
    EXPECT_NE(status->lpSecurityDescriptor, pipe->lpSecurityDescriptor);
}

TEST(SecurityAttributes, ClientRightsHoldNoControlOverTheObject)
{
    // Read and write the pipe, map the block for reading; never change the DACL, the owner,
    // or (on a pipe) add instances.
    EXPECT_EQ(PIPE_CLIENT_ACCESS, 0x0012019Bu);
    EXPECT_EQ(PIPE_CLIENT_ACCESS & (WRITE_DAC | WRITE_OWNER | DELETE | FILE_CREATE_PIPE_INSTANCE), 0u);
    EXPECT_EQ(STATUS_READER_ACCESS, 0x00020005u);
    EXPECT_EQ(STATUS_READER_ACCESS & (WRITE_DAC | WRITE_OWNER | DELETE | SECTION_MAP_WRITE | SECTION_EXTEND_SIZE), 0u);
}

TEST(SecurityAttributes, PipeCarriesExplicitDacl)
{
    TraceCapture trace;
    std::string name = TestPipeName("dacl");
    PipeServer* srv = PipeSrvCreate(name.c_str(), 600, 0);
    ASSERT_NE(srv, nullptr);
    ExpectEntries(ReadDacl(srv->Pipe), Expected(FILE_ALL_ACCESS, 0x0012019B));
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(srv->Pipe, &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, static_cast<DWORD>(HANDLE_FLAG_INHERIT));
    EXPECT_EQ(srv->PipeMode, PIPE_MODE_MESSAGE | PIPE_MODE_LOCAL_ONLY);
    // A local client still gets in and is served.
    HANDLE client = OpenClient(name, false);
    ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(AcceptClient(srv), 0);
    EXPECT_EQ(ClientWrite(client, "\x01\x00\x10", 3), 0u);
    ASSERT_TRUE(WaitServer(srv));
    EXPECT_EQ(GotOverResult(srv), 3);
    uint8_t buf[8];
    EXPECT_EQ(PipeSrvRead(srv, buf, sizeof buf), 3);
    // Each re-created instance carries the same DACL.
    CloseHandle(client);
    ASSERT_TRUE(WaitServer(srv));
    EXPECT_EQ(GotOverResult(srv), 0);
    ExpectEntries(ReadDacl(srv->Pipe), Expected(FILE_ALL_ACCESS, 0x0012019B));
    PipeSrvDestroy(srv);
}

TEST(SecurityAttributes, StatusBlockIsReadOnlyForOthers)
{
    char name[64];
    snprintf(name, sizeof name, "DulvexSecTest-%lu", GetCurrentProcessId());
    HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, GetStatusSecurityAttributes(), PAGE_READWRITE, 0, 20, name);
    ASSERT_NE(map, nullptr);
    ExpectEntries(ReadDacl(map), Expected(SECTION_ALL_ACCESS, 0x00020005));
    HANDLE reader = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    ASSERT_NE(reader, nullptr);
    void* view = MapViewOfFile(reader, FILE_MAP_READ, 0, 0, 20);
    EXPECT_NE(view, nullptr);
    UnmapViewOfFile(view);
    CloseHandle(reader);
    CloseHandle(map);
}

// Runs the probe next to this program, optionally with the platform reported as Windows 98
// (a per-program Wine setting); returns its exit code, or -1.
int RunProbe(bool win98)
{
    const char* key = "Software\\Wine\\AppDefaults\\secattr_probe.exe";
    if (win98) {
        HKEY h;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr) != 0)
            return -1;
        RegSetValueExA(h, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("win98"), 6);
        RegCloseKey(h);
    }
    char path[MAX_PATH];
    DWORD len = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string probe(path, len);
    probe = probe.substr(0, probe.find_last_of("\\/") + 1) + "secattr_probe.exe";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    DWORD code = static_cast<DWORD>(-1);
    if (CreateProcessA(probe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 30000);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    if (win98)
        RegDeleteKeyA(HKEY_CURRENT_USER, key);
    return static_cast<int>(code);
}

TEST(SecurityAttributes, NinetyEightFamilyGetsAttributesWithoutDescriptor)
{
    // NT: attributes with a descriptor, inheritable, built once.
    EXPECT_EQ(RunProbe(false), 1 | 2 | 8 | 16);
    // 9x: still attributes (not none), inheritable, but no descriptor at all.
    EXPECT_EQ(RunProbe(true), 2 | 4 | 8 | 16 | 32);
}

}  // namespace
