// What -install asks of the service manager, captured by replacing its imports: Wine's manager
// accepts failure actions and stores none, so the values are checked as the program passes them.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "host.h"

namespace {

SC_HANDLE const MANAGER = reinterpret_cast<SC_HANDLE>(0x5C01);
SC_HANDLE const SERVICE = reinterpret_cast<SC_HANDLE>(0x5C02);

struct Config2Call {
    SC_HANDLE Service;
    DWORD Level;
    // SERVICE_CONFIG_FAILURE_ACTIONS only: the structure and its actions, copied.
    DWORD ResetPeriod;
    bool RebootMessage, Command;
    std::vector<SC_ACTION> Actions;
};
std::vector<Config2Call> Calls;
DWORD StartType = 0;
BOOL Config2Result = TRUE;
int Closed = 0;

SC_HANDLE WINAPI FakeOpenManager(LPCSTR, LPCSTR, DWORD) { return MANAGER; }

SC_HANDLE WINAPI FakeCreateService(SC_HANDLE manager, LPCSTR, LPCSTR, DWORD, DWORD, DWORD start, DWORD, LPCSTR,
                                   LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR)
{
    StartType = start;
    return manager == MANAGER ? SERVICE : nullptr;
}

BOOL WINAPI FakeChangeConfig2(SC_HANDLE service, DWORD level, LPVOID info)
{
    Config2Call call = {service, level, 0, false, false, {}};
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        auto* f = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
        call.ResetPeriod = f->dwResetPeriod;
        call.RebootMessage = f->lpRebootMsg != nullptr;
        call.Command = f->lpCommand != nullptr;
        call.Actions.assign(f->lpsaActions, f->lpsaActions + f->cActions);
    }
    Calls.push_back(call);
    SetLastError(Config2Result ? 0 : ERROR_ACCESS_DENIED);
    return Config2Result;
}

BOOL WINAPI FakeClose(SC_HANDLE) { return ++Closed, TRUE; }

}  // namespace

extern "C" {
SC_HANDLE(WINAPI* __imp_OpenSCManagerA)(LPCSTR, LPCSTR, DWORD) = FakeOpenManager;
SC_HANDLE(WINAPI* __imp_CreateServiceA)(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR, LPCSTR,
                                        LPDWORD, LPCSTR, LPCSTR, LPCSTR) = FakeCreateService;
BOOL(WINAPI* __imp_ChangeServiceConfig2A)(SC_HANDLE, DWORD, LPVOID) = FakeChangeConfig2;
BOOL(WINAPI* __imp_CloseServiceHandle)(SC_HANDLE) = FakeClose;
}

namespace {

const char EVENT_SOURCE_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\DulvexService";

// Restart after 5 s on the first and second failure, nothing on the third, the count reset
// after a day; whatever the manager answers, the install goes on and both handles are closed.
TEST(InstallRecovery, RestartsTwiceThenRestsForADay)
{
    for (BOOL answer : {TRUE, FALSE}) {
        Calls.clear();
        Closed = 0;
        Config2Result = answer;
        InstallService();
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), StartType);
        ASSERT_EQ(2u, Calls.size());
        EXPECT_EQ(static_cast<DWORD>(SERVICE_CONFIG_DESCRIPTION), Calls[0].Level);
        const Config2Call& c = Calls[1];
        EXPECT_EQ(SERVICE, c.Service);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_CONFIG_FAILURE_ACTIONS), c.Level);
        EXPECT_EQ(86400u, c.ResetPeriod);
        EXPECT_FALSE(c.RebootMessage);
        EXPECT_FALSE(c.Command);
        const SC_ACTION want[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_NONE, 0}};
        ASSERT_EQ(3u, c.Actions.size());
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(want[i].Type, c.Actions[i].Type) << "action " << i;
            EXPECT_EQ(want[i].Delay, c.Actions[i].Delay) << "action " << i;
        }
        EXPECT_EQ(2, Closed);
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY);
}

}  // namespace
