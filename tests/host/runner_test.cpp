// The service runner's control handler, the platform-heap splitter, the error texts and the
// event-source registration, driven in-process against the real registry and status seam.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "child.h"
#include "debug.h"
#include "host.h"
#include "status.h"

namespace {

std::vector<SERVICE_STATUS> Reports;

BOOL WINAPI RecordReport(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status)
{
    Reports.push_back(*status);
    return TRUE;
}

struct DeviceEvent {
    int Calls = 0;
    DWORD Type = 0;
    LPVOID Data = nullptr;
} Device;

void RecordDevice(DWORD type, LPVOID data)
{
    Device.Calls++;
    Device.Type = type;
    Device.Data = data;
}

class ControlHandler : public ::testing::Test {
protected:
    void SetUp() override
    {
        Reports.clear();
        Device = DeviceEvent();
        ServiceStatusCall = RecordReport;
        ConsoleDebug = false;
        TermEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(nullptr, TermEvent);
        // As the service runner leaves things once the bridge reports RUNNING.
        ServiceStatusBegin(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234));
        ASSERT_TRUE(ReportServiceStatus(SERVICE_RUNNING, 0, 0));
        Reports.clear();
    }
    void TearDown() override
    {
        SetDeviceEventCallback(nullptr);
        CloseHandle(TermEvent);
        TermEvent = nullptr;
        ServiceStatusCall = SetServiceStatus;
    }
    bool EventSet() { return WaitForSingleObject(TermEvent, 0) == WAIT_OBJECT_0; }
};

TEST_F(ControlHandler, StopReportsPendingThenSetsTheEvent)
{
    DWORD before = CheckPoint;
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr));
    ASSERT_EQ(1u, Reports.size());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), Reports[0].dwCurrentState);
    EXPECT_EQ(before, Reports[0].dwCheckPoint);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP), Reports[0].dwControlsAccepted);
    EXPECT_EQ(0u, Reports[0].dwWaitHint);
    EXPECT_TRUE(EventSet());
}

TEST_F(ControlHandler, InterrogateRepeatsTheCurrentState)
{
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
              ServiceControlHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr));
    ASSERT_EQ(1u, Reports.size());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Reports[0].dwCurrentState);
    EXPECT_EQ(0u, Reports[0].dwCheckPoint);
    EXPECT_EQ(0u, Reports[0].dwWin32ExitCode);
    EXPECT_FALSE(EventSet());
}

TEST_F(ControlHandler, OtherControlsAreNotImplementedAndChangeNothing)
{
    for (DWORD control : {2u, 3u, 5u, 6u, 15u, 128u, 200u, 255u}) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED),
                  ServiceControlHandler(control, 0, nullptr, nullptr))
            << control;
    }
    EXPECT_TRUE(Reports.empty());
    EXPECT_FALSE(EventSet());
}

TEST_F(ControlHandler, DeviceEventsGoToTheCallbackWhenThereIsOne)
{
    int payload = 7;
    EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED),
              ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, 0x8000, &payload, nullptr));
    EXPECT_EQ(0, Device.Calls);

    EXPECT_EQ(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234), SetDeviceEventCallback(RecordDevice));
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
              ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, 0x8004, &payload, nullptr));
    EXPECT_EQ(1, Device.Calls);
    EXPECT_EQ(0x8004u, Device.Type);
    EXPECT_EQ(&payload, Device.Data);
    EXPECT_TRUE(Reports.empty());
    EXPECT_FALSE(EventSet());
}

TEST(SplitCommandLine, PlatformBlockHoldsTheVector)
{
    int count = -1;
    char** args = SplitCommandLine("\"C:\\Program Files\\x.exe\" -logfile=t.log", &count);
    ASSERT_NE(nullptr, args);
    EXPECT_EQ(2, count);
    EXPECT_STREQ("C:\\Program Files\\x.exe", args[0]);
    EXPECT_STREQ("-logfile=t.log", args[1]);
    EXPECT_EQ(nullptr, args[2]);
    // One block: the characters lie inside the allocation that GlobalFree releases.
    SIZE_T size = GlobalSize(args);
    EXPECT_GE(size, 2 * sizeof(char*) + 40);
    EXPECT_LT(reinterpret_cast<char*>(args[1]), reinterpret_cast<char*>(args) + size);
    EXPECT_EQ(nullptr, GlobalFree(args));
}

TEST(SplitCommandLine, EmptyTextGivesOnlyTheNullPointer)
{
    int count = -1;
    char** args = SplitCommandLine("", &count);
    ASSERT_NE(nullptr, args);
    EXPECT_EQ(0, count);
    EXPECT_EQ(nullptr, args[0]);
    GlobalFree(args);
}

TEST(SplitCommandLine, NoTextTakesTheProcessCommandLine)
{
    int count = -1;
    char** args = SplitCommandLine(nullptr, &count);
    ASSERT_NE(nullptr, args);
    // The test runs with its program name and no further argument from CTest.
    ASSERT_GE(count, 1);
    EXPECT_NE(nullptr, strstr(args[0], "host_runner_test"));
    EXPECT_EQ(nullptr, args[count]);
    GlobalFree(args);
}

// The system's own text for code, raw (with its line break) or without the line break.
std::string RawSystemText(DWORD code)
{
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string s = n ? std::string(text, n) : std::string();
    if (text)
        LocalFree(text);
    return s;
}

std::string SystemText(DWORD code)
{
    std::string s = RawSystemText(code);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

TEST(SystemErrorText, TextWithItsCode)
{
    std::string text = SystemText(ERROR_SERVICE_EXISTS);
    ASSERT_FALSE(text.empty());
    char buf[256];
    memset(buf, 'x', sizeof buf);
    SetLastError(ERROR_SERVICE_EXISTS);
    EXPECT_EQ(buf, SystemErrorText(buf, sizeof buf));
    EXPECT_EQ(text + " (0x431)", std::string(buf));
}

TEST(SystemErrorText, TooSmallBufferGivesEmptyText)
{
    std::string text = SystemText(ERROR_SERVICE_DOES_NOT_EXIST);
    ASSERT_GE(text.size(), 4u);
    std::vector<char> buf(text.size() + 20, 'x');
    // The system text's own length plus 14 is the least that is accepted.
    DWORD least = static_cast<DWORD>(RawSystemText(ERROR_SERVICE_DOES_NOT_EXIST).size() + 14);
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    SystemErrorText(buf.data(), least - 1);
    EXPECT_STREQ("", buf.data());
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    SystemErrorText(buf.data(), least);
    EXPECT_EQ(text + " (0x424)", std::string(buf.data()));
}

TEST(SystemErrorText, CodeWithoutTextGivesEmptyTextNotANumber)
{
    char buf[64];
    memset(buf, 'x', sizeof buf);
    SetLastError(0x2000ABCD);
    SystemErrorText(buf, sizeof buf);
    EXPECT_STREQ("", buf);
    // A zero size writes nothing at all.
    buf[0] = 'y';
    SetLastError(ERROR_SERVICE_EXISTS);
    SystemErrorText(buf, 0);
    EXPECT_EQ('y', buf[0]);
}

const char TEST_SOURCE[] = "DulvexHostTestSource";
const char TEST_SOURCE_KEY[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\DulvexHostTestSource";

TEST(InstallEventSource, WritesMessageFileAndTypes)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, TEST_SOURCE_KEY);
    const char path[] = "C:\\Program Files\\Dulvex\\DulvexSrv.exe";
    EXPECT_EQ(1, InstallEventSource(TEST_SOURCE, path));

    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, TEST_SOURCE_KEY, 0, KEY_READ, &key));
    char data[512];
    DWORD type = 0, size = sizeof data;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "EventMessageFile", nullptr, &type,
                                              reinterpret_cast<BYTE*>(data), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ(sizeof path, size);
    EXPECT_STREQ(path, data);
    DWORD types = 0;
    size = sizeof types;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "TypesSupported", nullptr, &type,
                                              reinterpret_cast<BYTE*>(&types), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(7u, types);
    RegCloseKey(key);

    // A second registration rewrites the same values.
    EXPECT_EQ(1, InstallEventSource(TEST_SOURCE, "C:\\a.exe"));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, TEST_SOURCE_KEY, 0, KEY_READ, &key));
    size = sizeof data;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "EventMessageFile", nullptr, &type,
                                              reinterpret_cast<BYTE*>(data), &size));
    EXPECT_STREQ("C:\\a.exe", data);
    RegCloseKey(key);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, TEST_SOURCE_KEY));
}

} // namespace

namespace {

// The resources of DulvexSrv.exe, read back from the stand-in build that carries the same ones.
class SrvResources : public ::testing::Test {
protected:
    HMODULE Module = nullptr;
    std::string Path = OwnFolder() + "DulvexSrvFake.exe";
    void SetUp() override
    {
        Module = LoadLibraryExA(Path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, Module);
    }
    void TearDown() override { FreeLibrary(Module); }

    std::string Format(DWORD id, const char* first, const char* second)
    {
        DWORD_PTR args[2] = {reinterpret_cast<DWORD_PTR>(first), reinterpret_cast<DWORD_PTR>(second)};
        char buf[256] = "";
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, Module,
                                 id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buf, sizeof buf,
                                 reinterpret_cast<va_list*>(args));
        return std::string(buf, n);
    }
};

TEST_F(SrvResources, MessageTableFormatsEveryEventId)
{
    // Under its own id, and under 1, the one FormatMessage reads.
    for (WORD id : {102, 1}) {
        HRSRC table = FindResourceExA(Module, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(id),
                                      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
        EXPECT_NE(nullptr, table) << id;
    }
    // The texts, stored as ANSI (entry flags 0).
    HRSRC table = FindResourceExA(Module, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(102),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(nullptr, table);
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(Module, table)));
    ASSERT_NE(nullptr, data);
    auto* resource = reinterpret_cast<const MESSAGE_RESOURCE_DATA*>(data);
    std::vector<std::string> texts;
    for (DWORD b = 0; b < resource->NumberOfBlocks; ++b) {
        const MESSAGE_RESOURCE_BLOCK& block = resource->Blocks[b];
        const BYTE* entry = data + block.OffsetToEntries;
        for (DWORD id = block.LowId; id <= block.HighId; ++id) {
            auto* e = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(entry);
            EXPECT_EQ(0, e->Flags) << std::hex << id;
            texts.push_back(reinterpret_cast<const char*>(e->Text));
            entry += e->Length;
        }
    }
    // One text per id of events.h (event_table.py holds the two lists in step), each putting its
    // one insertion string at its end.
    const unsigned long ids[] = {
        EVENT_APP_INFO,          EVENT_APP_WARNING,    EVENT_SERVICE_STARTED,      EVENT_SERVICE_STOPPED,
        EVENT_CONFIG_FALLBACK,   EVENT_LOG_REFUSED,    EVENT_LOG_PAYMENT_DATA,     EVENT_COMMLOG_EXPIRED,
        EVENT_LOG_FOLDER_PROTECTED, EVENT_APP_NOT_ANSWERING, EVENT_APP_ANSWERING, EVENT_HELD_DROPPED,
        EVENT_CLIENT_REFUSED,    EVENT_CLIENT_DROPPED, EVENT_METRICS_FAILED,       EVENT_SYSTEM_ERROR,
        EVENT_SERVICE_FAILED,    EVENT_PIPE_TAKEN,
    };
    EXPECT_EQ(sizeof ids / sizeof ids[0], texts.size());
    for (unsigned long id : ids) {
        std::string text = Format(id, "INSERTED", "INSERTED");
        EXPECT_GE(text.size(), 10u) << std::hex << id;
        EXPECT_EQ(0, text.compare(text.size() - 10, 10, "INSERTED\r\n")) << std::hex << id << ": " << text;
    }
    EXPECT_EQ("A payment terminal application does not answer: Term[2] 'Maint': not answering\r\n",
              Format(EVENT_APP_NOT_ANSWERING, "Term[2] 'Maint': not answering", nullptr));

    EXPECT_EQ("Application info: DulvexService: started\r\n",
              Format(EVENT_APP_INFO, "DulvexService: started", nullptr));
    EXPECT_EQ("Application warning: DulvexService error: 5 SetServiceStatus\r\n",
              Format(EVENT_APP_WARNING, "DulvexService error: 5", "SetServiceStatus"));
    // No other id answers.
    EXPECT_EQ("", Format(0x40020103, "x", "y"));
}

TEST_F(SrvResources, VersionIsOneZeroTwoOne)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(Path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoA(Path.c_str(), 0, size, data.data()));
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length));
    EXPECT_EQ(0x00010000u, info->dwFileVersionMS);
    EXPECT_EQ(0x00020001u, info->dwFileVersionLS);
    EXPECT_EQ(0x00010000u, info->dwProductVersionMS);
    EXPECT_EQ(0x00020001u, info->dwProductVersionLS);
    char* text = nullptr;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\FileVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ("1.0.2.1", text);
}

TEST_F(SrvResources, IconHasBothSizes)
{
    HICON large = static_cast<HICON>(LoadImageA(Module, MAKEINTRESOURCEA(1), IMAGE_ICON, 32, 32, 0));
    HICON small = static_cast<HICON>(LoadImageA(Module, MAKEINTRESOURCEA(1), IMAGE_ICON, 16, 16, 0));
    EXPECT_NE(nullptr, large);
    EXPECT_NE(nullptr, small);
    // Exactly two images in the group: 16 and 32 pixels.
    HRSRC group = FindResourceA(Module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(14));
    ASSERT_NE(nullptr, group);
    const BYTE* dir = static_cast<const BYTE*>(LockResource(LoadResource(Module, group)));
    ASSERT_NE(nullptr, dir);
    EXPECT_EQ(2, dir[4] | (dir[5] << 8));
    if (large)
        DestroyIcon(large);
    if (small)
        DestroyIcon(small);
}

} // namespace
