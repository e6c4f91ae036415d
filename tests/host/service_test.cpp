// DulvexSrv's host with a stand-in bridge under Wine's real service control manager: install,
// the service runner's reports, remove, and the process entry's default and debug paths.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "child.h"
#include "cmdline.h"

namespace {

const char SERVICE[] = "DulvexService";
const char EVENT_SOURCE_KEY[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\DulvexService";
const char GATE[] = "Global\\DulvexHostTestGate";
const char HOLD[] = "Global\\DulvexHostTestHold";

std::string FakePath() { return OwnFolder() + "DulvexSrvFake.exe"; }
std::string RecordPath() { return OwnFolder() + "host_service_test.record"; }

std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string SystemText(DWORD code)
{
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string s = n ? std::string(text, n) : std::string();
    if (text)
        LocalFree(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

std::string RunFake(const std::string& args, DWORD* exitCode)
{
    ChildResult r = RunChild("\"" + FakePath() + "\" " + args, 90000);
    EXPECT_TRUE(r.Started) << args;
    *exitCode = r.ExitCode;
    return r.Output;
}

// Polls until the service reaches state (or timeoutMs passes); returns the last status read.
SERVICE_STATUS WaitState(SC_HANDLE service, DWORD state, DWORD timeoutMs = 20000)
{
    SERVICE_STATUS status = {};
    for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
        if (!QueryServiceStatus(service, &status) || status.dwCurrentState == state)
            break;
        Sleep(20);
    }
    return status;
}

class HostService : public ::testing::Test {
protected:
    SC_HANDLE Manager = nullptr;
    HANDLE Gate = nullptr;
    HANDLE Hold = nullptr;

    void SetUp() override
    {
        Manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(nullptr, Manager);
        DropService();
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY);
        DeleteFileA(RecordPath().c_str());
        Gate = CreateEventA(nullptr, TRUE, FALSE, GATE);
        Hold = CreateEventA(nullptr, TRUE, FALSE, HOLD);
        ASSERT_NE(nullptr, Gate);
        ASSERT_NE(nullptr, Hold);
    }

    void TearDown() override
    {
        // An installed auto-start service would be started by every later wineserver.
        SetEvent(Gate);
        SetEvent(Hold);
        DropService();
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY);
        CloseHandle(Gate);
        CloseHandle(Hold);
        CloseServiceHandle(Manager);
    }

    void DropService()
    {
        SC_HANDLE service = OpenServiceA(Manager, SERVICE, SERVICE_ALL_ACCESS);
        if (service == nullptr)
            return;
        SERVICE_STATUS status;
        if (ControlService(service, SERVICE_CONTROL_STOP, &status))
            WaitState(service, SERVICE_STOPPED, 10000);
        DeleteService(service);
        CloseServiceHandle(service);
        for (int i = 0; i < 250; ++i) {
            SC_HANDLE again = OpenServiceA(Manager, SERVICE, SERVICE_QUERY_STATUS);
            if (again == nullptr)
                return;
            CloseServiceHandle(again);
            Sleep(20);
        }
    }

    SC_HANDLE Open()
    {
        return OpenServiceA(Manager, SERVICE, SERVICE_ALL_ACCESS);
    }

    // Installs with the program's own installer, then gives the registered command line the
    // stand-in's options, as an administrator may add options to it.
    SC_HANDLE InstallWithOptions(const std::string& options)
    {
        DWORD code = 0;
        std::string out = RunFake("-install", &code);
        EXPECT_EQ("DulvexService installed.\n", out);
        SC_HANDLE service = Open();
        EXPECT_NE(nullptr, service);
        if (service == nullptr)
            return nullptr;
        std::string line = "\"" + FakePath() + "\" fakelog=" + RecordPath() + " " + options;
        EXPECT_TRUE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                         SERVICE_NO_CHANGE, line.c_str(), nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr));
        return service;
    }
};

TEST_F(HostService, InstallRegistersServiceAndEventSource)
{
    DWORD code = 99;
    EXPECT_EQ("DulvexService installed.\n", RunFake("-install", &code));
    EXPECT_EQ(0u, code);

    SC_HANDLE service = Open();
    ASSERT_NE(nullptr, service);
    char buf[8192];
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf);
    ASSERT_TRUE(QueryServiceConfigA(service, config, sizeof buf, &needed));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config->dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->dwStartType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
    EXPECT_STREQ(FakePath().c_str(), config->lpBinaryPathName);
    EXPECT_STREQ(SERVICE, config->lpDisplayName);
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buf);
    ASSERT_TRUE(QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION,
                                     reinterpret_cast<BYTE*>(buf), sizeof buf, &needed));
    EXPECT_STREQ("Varnok Payment Terminal Service for Win32", description->lpDescription);
    SERVICE_STATUS status;
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    CloseServiceHandle(service);

    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY, 0, KEY_READ, &key));
    char data[600];
    DWORD type = 0, size = sizeof data;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "EventMessageFile", nullptr, &type,
                                              reinterpret_cast<BYTE*>(data), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ(FakePath().size() + 1, size);
    EXPECT_STREQ(FakePath().c_str(), data);
    DWORD types = 0;
    size = sizeof types;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "TypesSupported", nullptr, &type,
                                              reinterpret_cast<BYTE*>(&types), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(7u, types);
    RegCloseKey(key);

    // A second install fails at CreateService and leaves the event source alone.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY));
    code = 99;
    EXPECT_EQ("CreateService failed - " + SystemText(ERROR_SERVICE_EXISTS) + " (0x431)\n",
              RunFake("/INSTALL", &code));
    EXPECT_EQ(0u, code);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY, 0, KEY_READ, &key));
}

TEST_F(HostService, RemoveOfStoppedAndMissingService)
{
    DWORD code = 99;
    RunFake("-install", &code);
    EXPECT_EQ("DulvexService removed.\n", RunFake("-remove", &code));
    EXPECT_EQ(0u, code);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, OpenServiceA(Manager, SERVICE, SERVICE_QUERY_STATUS));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());

    code = 99;
    EXPECT_EQ("OpenService failed - " + SystemText(ERROR_SERVICE_DOES_NOT_EXIST) + " (0x424)\n",
              RunFake("/Remove", &code));
    EXPECT_EQ(0u, code);
}

TEST_F(HostService, ServiceReportsEveryStateInOrder)
{
    SC_HANDLE service = InstallWithOptions(std::string("fakemode=wait fakegate=") + GATE +
                                           " fakehold=" + HOLD);
    ASSERT_NE(nullptr, service);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr));

    SERVICE_STATUS s = WaitState(service, SERVICE_START_PENDING);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), s.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), s.dwServiceType);
    EXPECT_EQ(1u, s.dwCheckPoint);
    EXPECT_EQ(3000u, s.dwWaitHint);
    EXPECT_EQ(0u, s.dwControlsAccepted);

    SetEvent(Gate);
    s = WaitState(service, SERVICE_RUNNING);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), s.dwCurrentState);
    EXPECT_EQ(0u, s.dwCheckPoint);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP), s.dwControlsAccepted);
    EXPECT_EQ(0u, s.dwWin32ExitCode);

    // An interrogation repeats RUNNING; a user-defined control changes nothing. (Wine's manager
    // does not hand the handler's 120 back to ControlService; runner_test checks that value.)
    SERVICE_STATUS answer = {};
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &answer));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), answer.dwCurrentState);
    EXPECT_EQ(0u, answer.dwCheckPoint);
    ControlService(service, 200, &answer);
    s = WaitState(service, SERVICE_RUNNING);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), s.dwCurrentState);
    EXPECT_EQ(0u, s.dwCheckPoint);

    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &answer));
    s = WaitState(service, SERVICE_STOP_PENDING);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), s.dwCurrentState);
    EXPECT_EQ(2u, s.dwCheckPoint);
    EXPECT_EQ(0u, s.dwWaitHint);

    SetEvent(Hold);
    s = WaitState(service, SERVICE_STOPPED);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), s.dwCurrentState);
    EXPECT_EQ(0u, s.dwWin32ExitCode);
    EXPECT_EQ(0u, s.dwServiceSpecificExitCode);
    EXPECT_EQ(0u, s.dwCheckPoint);
    CloseServiceHandle(service);

    // The bridge got the registered command line, split, with the path unquoted.
    EXPECT_EQ("argc=5\n"
              "argv[0]=" + FakePath() + "\n"
              "argv[1]=fakelog=" + RecordPath() + "\n"
              "argv[2]=fakemode=wait\n"
              "argv[3]=fakegate=" + GATE + "\n"
              "argv[4]=fakehold=" + HOLD + "\n"
              "console=0 event=1\n"
              "running\n"
              "stop event\n"
              "return 0\n",
              ReadFileText(RecordPath()));
}

TEST_F(HostService, FailingBridgeEndsStoppedWithItsCode)
{
    SC_HANDLE service = InstallWithOptions("fakemode=fail fakeresult=-4");
    ASSERT_NE(nullptr, service);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr));
    SERVICE_STATUS s = {};
    // Wait for the run to happen and end (the record's last line is written before returning).
    for (int i = 0; i < 500 && ReadFileText(RecordPath()).find("return -4\n") == std::string::npos; ++i)
        Sleep(20);
    s = WaitState(service, SERVICE_STOPPED);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), s.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), s.dwWin32ExitCode);
    EXPECT_EQ(static_cast<DWORD>(-4), s.dwServiceSpecificExitCode);
    EXPECT_EQ(0u, s.dwCheckPoint);
    EXPECT_EQ(std::string::npos, ReadFileText(RecordPath()).find("running"));
    CloseServiceHandle(service);
}

TEST_F(HostService, RemoveStopsARunningService)
{
    SC_HANDLE service = InstallWithOptions("fakemode=wait");
    ASSERT_NE(nullptr, service);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr));
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitState(service, SERVICE_RUNNING).dwCurrentState);
    CloseServiceHandle(service);

    DWORD code = 99;
    std::string out = RunFake("-remove", &code);
    EXPECT_EQ(0u, code);
    // Wine stops the stand-in within milliseconds: no dot beyond the first second.
    EXPECT_EQ("Stopping DulvexService.\nDulvexService stopped.\nDulvexService removed.\n", out);
    EXPECT_NE(std::string::npos, ReadFileText(RecordPath()).find("stop event\nreturn 0\n"));
}

TEST_F(HostService, RemoveCountsSecondsOfStopPending)
{
    SC_HANDLE service = InstallWithOptions(std::string("fakemode=wait fakehold=") + HOLD);
    ASSERT_NE(nullptr, service);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr));
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitState(service, SERVICE_RUNNING).dwCurrentState);

    // Released once the remover has seen STOP_PENDING for a while.
    HANDLE hold = Hold;
    HANDLE releaser = CreateThread(
        nullptr, 0,
        [](LPVOID event) -> DWORD {
            Sleep(2500);
            SetEvent(static_cast<HANDLE>(event));
            return 0;
        },
        hold, 0, nullptr);
    DWORD code = 99;
    std::string out = RunFake("-remove", &code);
    WaitForSingleObject(releaser, INFINITE);
    CloseHandle(releaser);
    CloseServiceHandle(service);
    EXPECT_EQ(0u, code);
    const std::string head = "Stopping DulvexService.";
    const std::string tail = "\nDulvexService stopped.\nDulvexService removed.\n";
    ASSERT_GT(out.size(), head.size() + tail.size()) << out;
    EXPECT_EQ(head, out.substr(0, head.size()));
    EXPECT_EQ(tail, out.substr(out.size() - tail.size()));
    std::string dots = out.substr(head.size(), out.size() - head.size() - tail.size());
    EXPECT_GE(dots.size(), 1u) << out;
    EXPECT_EQ(std::string(dots.size(), '.'), dots);
}

TEST_F(HostService, RemoveGivesUpOnAServiceStuckInStopPending)
{
    SC_HANDLE service = InstallWithOptions(std::string("fakemode=wait fakehold=") + HOLD);
    ASSERT_NE(nullptr, service);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr));
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitState(service, SERVICE_RUNNING).dwCurrentState);

    DWORD code = 99;
    std::string out = RunFake("-remove", &code);
    EXPECT_EQ(0u, code);
    // One dot per further second up to the bound of thirty seconds, then the deletion.
    EXPECT_EQ("Stopping DulvexService." + std::string(29, '.') +
                  "\nDulvexService failed to stop.\nDulvexService removed.\n",
              out);
    SetEvent(Hold);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), WaitState(service, SERVICE_STOPPED).dwCurrentState);
    CloseServiceHandle(service);
}

TEST_F(HostService, PathWithBlankIsRegisteredQuotedAndSplitBack)
{
    const std::string folder = "C:\\dulvex host test\\";
    const std::string copy = folder + "DulvexSrv Fake.exe";
    CreateDirectoryA(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(FakePath().c_str(), copy.c_str(), FALSE));
    DeleteFileA((copy + ".log").c_str());

    ChildResult r = RunChild("\"" + copy + "\" -install");
    EXPECT_EQ("DulvexService installed.\n", r.Output);
    SC_HANDLE service = Open();
    ASSERT_NE(nullptr, service);
    char buf[8192];
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf);
    ASSERT_TRUE(QueryServiceConfigA(service, config, sizeof buf, &needed));
    EXPECT_EQ("\"" + copy + "\"", std::string(config->lpBinaryPathName));

    ASSERT_TRUE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitState(service, SERVICE_RUNNING).dwCurrentState);
    SERVICE_STATUS answer;
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &answer));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), WaitState(service, SERVICE_STOPPED).dwCurrentState);
    CloseServiceHandle(service);
    EXPECT_EQ("argc=1\n"
              "argv[0]=" + copy + "\n"
              "console=0 event=1\n"
              "running\n"
              "stop event\n"
              "return 0\n",
              ReadFileText(copy + ".log"));
    DropService();
    DeleteFileA((copy + ".log").c_str());
    DeleteFileA(copy.c_str());
    RemoveDirectoryA(folder.c_str());
}

std::string DefaultPathText()
{
    char banner[512], usage[512];
    FormatBanner(banner, sizeof banner);
    FormatUsage(usage, sizeof usage);
    return std::string(banner) + usage +
           "\nStartServiceCtrlDispatcher being called.\n"
           "This may take several seconds.  Please wait.\n";
}

TEST_F(HostService, DefaultPathPrintsBannerAndUsageAndExitsOne)
{
    // No option, an option the NT family does not know, an unknown one, one in second place.
    for (const char* args : {"", "-WIN9X", "-bogus", "fakemode=fail -install", "--install"}) {
        DWORD code = 99;
        std::string out = RunFake(args, &code);
        EXPECT_EQ(DefaultPathText(), out) << "arguments: " << args;
        EXPECT_EQ(1u, code) << "arguments: " << args;
    }
    // The bridge never ran: the dispatcher refuses a program started from a console.
    EXPECT_EQ("", ReadFileText(RecordPath()));
}

TEST_F(HostService, DebugModeGivesTheBridgeTheWholeVector)
{
    DWORD code = 99;
    std::string out = RunFake("-Debug -logfile=C:\\dulvex-host.log fakemode=fail fakeresult=-3 fakelog=" +
                              RecordPath(),
                          &code);
    EXPECT_EQ("Debugging DulvexService.\n", out);
    EXPECT_EQ(0u, code);
    EXPECT_EQ("argc=6\n"
              "argv[0]=" + FakePath() + "\n"
              "argv[1]=-Debug\n"
              "argv[2]=-logfile=C:\\dulvex-host.log\n"
              "argv[3]=fakemode=fail\n"
              "argv[4]=fakeresult=-3\n"
              "argv[5]=fakelog=" + RecordPath() + "\n"
              "console=1 event=1\n"
              "return -3\n",
              ReadFileText(RecordPath()));
}

} // namespace
