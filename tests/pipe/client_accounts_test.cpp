// Who may use the pipe: the DACL of a pipe created after the ClientAccounts value was read, as the
// system gives it back, for each kind of value.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "PipeSrv.h"
#include "config.h"
#include "pipe_accounts.h"
#include "pipe_test_util.h"
#include "sec_attr.h"

namespace {

std::string ProcessUser()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return "";
    alignas(DWORD) BYTE info[512];
    DWORD size;
    std::string sid;
    char* text = nullptr;
    if (GetTokenInformation(token, TokenUser, info, sizeof info, &size) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(info)->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

std::string DaclText(HANDLE object)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr, &sd) !=
        ERROR_SUCCESS)
        return "(no descriptor)";
    char* text = nullptr;
    std::string dacl = "(no text)";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                             nullptr)) {
        dacl = text;
        LocalFree(text);
    }
    LocalFree(sd);
    return dacl;
}

// value: the REG_MULTI_SZ's bytes, or nullptr for no value at all.
void SetAccountsValue(const std::string* value)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (value == nullptr)
        RegDeleteValueA(key, CONFIG_CLIENT_ACCOUNTS_VALUE);
    else
        EXPECT_EQ(RegSetValueExA(key, CONFIG_CLIENT_ACCOUNTS_VALUE, 0, REG_MULTI_SZ,
                                 reinterpret_cast<const BYTE*>(value->data()), static_cast<DWORD>(value->size())),
                  ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(ClientAccounts, ThePipesDaclAdmitsTheNamedAccountsOnly)
{
    TraceCapture trace;
    const std::string owners = "D:(D;;FA;;;NU)(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + ProcessUser() + ")";
    const std::string client = "(A;;0x12019b;;;";
    const std::string alice = "S-1-5-21-1004336348-1177238915-682003330-1001";
    const struct {
        const char* What;
        bool Present;
        std::string Value;
        int Admitted;
        std::string Others;  // the entries after SYSTEM's, Administrators' and the process's own
        const char* Traced;
    } cases[] = {
        {"no value", false, "", -1, client + "WD)", "no value: every local account may use the pipe"},
        {"one SID", true, alice + std::string("\0\0", 2), 1, client + alice + ")", "is S-1-5-21-"},
        {"a name", true, std::string("Users\0\0", 7), 1, client + "BU)", "'Users' is S-1-5-32-545"},
        {"an entry that does not resolve, then a SID", true,
         std::string("no-such-account-42\0S-1-5-32-545\0\0", 33), 1, client + "BU)",
         "'no-such-account-42' is no account of this machine"},
        {"nothing resolves", true, std::string("no-such-account-42\0\0", 20), 0, "",
         "only SYSTEM and Administrators may use the pipe"},
        {"an empty list", true, std::string("\0\0", 2), 0, "", "only SYSTEM and Administrators may use the pipe"},
    };
    std::string name = TestPipeName("accounts");
    for (const auto& c : cases) {
        SetAccountsValue(c.Present ? &c.Value : nullptr);
        trace.Mark();
        EXPECT_EQ(LimitPipeToConfiguredAccounts(), c.Admitted) << c.What;
        PipeServer* srv = PipeSrvCreate(name.c_str(), 600, 0);
        ASSERT_NE(srv, nullptr) << c.What;
        EXPECT_EQ(DaclText(srv->Pipe), owners + c.Others) << c.What;
        PipeSrvDestroy(srv);
        EXPECT_NE(trace.Text().find(c.Traced), std::string::npos) << c.What << "\n" << trace.Text();
    }
    SetAccountsValue(nullptr);
    LimitPipeToConfiguredAccounts();
}

}  // namespace
