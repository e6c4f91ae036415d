// Status reports as the service control manager would receive them, through the sink that
// normally is SetServiceStatus. Tests run in order in one process: the check point counter
// is process-wide and never reset, which the first test relies on.
#include "status.h"

#include <gtest/gtest.h>

#include <vector>

#include "debug.h"

namespace {

struct Seen {
    SERVICE_STATUS_HANDLE Handle;
    SERVICE_STATUS Status;
};
std::vector<Seen> Reports;
BOOL SinkResult = TRUE;
DWORD SinkError = 0;
bool HoldFirstReport = false;
HANDLE OtherMayReport = nullptr;
HANDLE OtherReported = nullptr;

BOOL WINAPI RecordingSink(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    if (HoldFirstReport) {
        // The first report waits inside the call for the other thread's report, which a
        // serialised ReportServiceStatus keeps out until this one is done.
        HoldFirstReport = false;
        SetEvent(OtherMayReport);
        WaitForSingleObject(OtherReported, 300);
    } else if (OtherReported != nullptr) {
        SetEvent(OtherReported);
    }
    Reports.push_back({handle, *status});
    if (!SinkResult)
        SetLastError(SinkError);
    return SinkResult;
}

const SERVICE_STATUS_HANDLE kHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234);

class Status : public testing::Test {
protected:
    void SetUp() override
    {
        Reports.clear();
        SinkResult = TRUE;
        ServiceStatusCall = RecordingSink;
        ServiceStatusBegin(kHandle);
    }
    void TearDown() override { ServiceStatusCall = SetServiceStatus; }
};

void ExpectStatus(const Seen& seen, DWORD state, DWORD accepted, DWORD win32, DWORD specific, DWORD checkPoint,
                  DWORD waitHint)
{
    EXPECT_EQ(kHandle, seen.Handle);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), seen.Status.dwServiceType);
    EXPECT_EQ(state, seen.Status.dwCurrentState);
    EXPECT_EQ(accepted, seen.Status.dwControlsAccepted);
    EXPECT_EQ(win32, seen.Status.dwWin32ExitCode);
    EXPECT_EQ(specific, seen.Status.dwServiceSpecificExitCode);
    EXPECT_EQ(checkPoint, seen.Status.dwCheckPoint);
    EXPECT_EQ(waitHint, seen.Status.dwWaitHint);
}

TEST_F(Status, NormalRunReportsCheckPointsOneAndTwo)
{
    ASSERT_EQ(1u, CheckPoint) << "must run first: no pending report made yet";
    EXPECT_TRUE(ReportServiceStatus(SERVICE_START_PENDING, 0, 3000));
    EXPECT_TRUE(ReportServiceStatus(SERVICE_RUNNING, 0, 0));
    EXPECT_TRUE(ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0));
    EXPECT_TRUE(ReportServiceStatus(SERVICE_STOPPED, 0, 0));
    ASSERT_EQ(4u, Reports.size());
    ExpectStatus(Reports[0], SERVICE_START_PENDING, 0, NO_ERROR, 0, 1, 3000);
    ExpectStatus(Reports[1], SERVICE_RUNNING, SERVICE_ACCEPT_STOP, NO_ERROR, 0, 0, 0);
    ExpectStatus(Reports[2], SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, NO_ERROR, 0, 2, 0);
    ExpectStatus(Reports[3], SERVICE_STOPPED, SERVICE_ACCEPT_STOP, NO_ERROR, 0, 0, 0);
    EXPECT_EQ(3u, CheckPoint);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceStatusState());
}

TEST_F(Status, FailureCodeIsServiceSpecificAndStaysAfterALaterSuccess)
{
    EXPECT_TRUE(ReportServiceStatus(SERVICE_STOPPED, static_cast<DWORD>(-3), 0));
    EXPECT_TRUE(ReportServiceStatus(SERVICE_RUNNING, 0, 0));
    ASSERT_EQ(2u, Reports.size());
    ExpectStatus(Reports[0], SERVICE_STOPPED, SERVICE_ACCEPT_STOP, ERROR_SERVICE_SPECIFIC_ERROR, 0xFFFFFFFD, 0, 0);
    ExpectStatus(Reports[1], SERVICE_RUNNING, SERVICE_ACCEPT_STOP, NO_ERROR, 0xFFFFFFFD, 0, 0);
}

TEST_F(Status, ConsoleDebugReportsNothing)
{
    DWORD before = CheckPoint;
    ConsoleDebug = true;
    EXPECT_EQ(1, ReportServiceStatus(SERVICE_START_PENDING, 5, 3000));
    ConsoleDebug = false;
    EXPECT_TRUE(Reports.empty());
    EXPECT_EQ(before, CheckPoint);
}

TEST_F(Status, FailedCallIsReturnedAndTheRecordKept)
{
    SinkResult = FALSE;
    SinkError = ERROR_INVALID_HANDLE;
    DWORD before = CheckPoint;
    EXPECT_FALSE(ReportServiceStatus(SERVICE_STOP_PENDING, 0, 500));
    ASSERT_EQ(1u, Reports.size());
    ExpectStatus(Reports[0], SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, NO_ERROR, 0, before, 500);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), ServiceStatusState());
}

DWORD WINAPI ReportOnce(void*)
{
    ReportServiceStatus(SERVICE_START_PENDING, 0, 0);
    return 0;
}

DWORD WINAPI ReportOther(void*)
{
    WaitForSingleObject(OtherMayReport, INFINITE);
    ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0);
    return 0;
}

TEST_F(Status, ReportFromTheHandlerThreadWaitsForTheOneUnderWay)
{
    DWORD first = CheckPoint;
    OtherMayReport = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OtherReported = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HoldFirstReport = true;
    HANDLE threads[2] = {CreateThread(nullptr, 0, ReportOnce, nullptr, 0, nullptr),
                         CreateThread(nullptr, 0, ReportOther, nullptr, 0, nullptr)};
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    for (HANDLE h : {threads[0], threads[1], OtherMayReport, OtherReported})
        CloseHandle(h);
    OtherMayReport = OtherReported = nullptr;
    ASSERT_EQ(2u, Reports.size());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), Reports[0].Status.dwCurrentState);
    EXPECT_EQ(first, Reports[0].Status.dwCheckPoint);
    EXPECT_EQ(0u, Reports[0].Status.dwControlsAccepted);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), Reports[1].Status.dwCurrentState);
    EXPECT_EQ(first + 1, Reports[1].Status.dwCheckPoint);
    EXPECT_EQ(first + 2, CheckPoint);
}

TEST(StatusPlatform, ReportWithoutAHandleReachesTheServiceManagerAndFails)
{
    ASSERT_EQ(ServiceStatusCall, &SetServiceStatus);
    ServiceStatusHandle = nullptr;
    EXPECT_FALSE(ReportServiceStatus(SERVICE_RUNNING, 0, 0));
}

}  // namespace
