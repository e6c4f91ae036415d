// Held answers and the accounts of the clients, through the bridge's delivery and a real pipe.
// Under Wine every client has this process's account, so the test names the account the server
// learned for each client itself, as the pipe would for a client of another account.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PipeSrv.h"
#include "debug.h"
#include "delivery.h"
#include "pipe_test_util.h"
#include "terminal.h"

// The event records the delivery writes, taken from the import slot (Wine keeps no event log).
std::vector<DWORD> EventIds;
BOOL WINAPI CaptureReport(HANDLE, WORD, WORD, DWORD id, PSID, WORD, DWORD, LPCSTR*, LPVOID)
{
    EventIds.push_back(id);
    return TRUE;
}
extern "C" {
BOOL(WINAPI* __imp_ReportEventA)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) = CaptureReport;
}

namespace {

constexpr char ALICE[] = "S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr char BOB[] = "S-1-5-21-1004336348-1177238915-682003330-1002";

Delivery delivery;  // large: one for the whole file
Terminal* const noTerminals[APP_COUNT] = {};

class DeliveryOwnerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = TestPipeName("owner");
        srv_ = PipeSrvCreate(name_.c_str(), 600, 0);
        ASSERT_NE(srv_, nullptr);
        DeliveryInit(&delivery, 8, 300);
    }
    void TearDown() override
    {
        if (client_ != INVALID_HANDLE_VALUE)
            CloseHandle(client_);
        PipeSrvDestroy(srv_);
    }
    // A client of account whose connect the server has taken up.
    void Connect(const char* account)
    {
        client_ = OpenClient(name_, false);
        ASSERT_NE(client_, INVALID_HANDLE_VALUE);
        ASSERT_EQ(AcceptClient(srv_), 0);
        ASSERT_EQ(srv_->Ready, 1);
        snprintf(srv_->Account, sizeof srv_->Account, "%s", account);
    }
    void Leave()
    {
        CloseHandle(client_);
        client_ = INVALID_HANDLE_VALUE;
        ASSERT_TRUE(WaitServer(srv_));
        EXPECT_EQ(GotOverResult(srv_), 0);
        ASSERT_EQ(srv_->Ready, 0);
    }
    void Answer(uint16_t cmd)
    {
        const uint8_t msg[] = {0x08, static_cast<uint8_t>(cmd >> 8), static_cast<uint8_t>(cmd), 0x01};
        EXPECT_EQ(DeliveryAnswer(&delivery, srv_, msg, sizeof msg, 0), 0) << "held, not written";
    }
    // Announces the client and returns every message it receives from then on.
    std::vector<std::vector<uint8_t>> Announce()
    {
        ConsoleDebug = false;  // detached, as under the service manager
        EventIds.clear();
        DeliveryControl(&delivery, srv_, noTerminals, CONTROL_ANNOUNCE, 0);
        std::vector<std::vector<uint8_t>> got;
        DWORD waiting = 0;
        while (PeekNamedPipe(client_, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0) {
            std::vector<uint8_t> msg(700);
            DWORD n = 0;
            if (!ReadFile(client_, msg.data(), static_cast<DWORD>(msg.size()), &n, nullptr))
                break;
            msg.resize(n);
            got.push_back(msg);
        }
        return got;
    }

    std::string name_;
    PipeServer* srv_ = nullptr;
    HANDLE client_ = INVALID_HANDLE_VALUE;
};

std::vector<uint8_t> Welcome(uint8_t held) { return {0x80, 0xFF, 0x01, 0x00, 0x00, 0x01, 0x00, held}; }
std::vector<uint8_t> Held(uint16_t cmd) { return {0x08, static_cast<uint8_t>(cmd >> 8), static_cast<uint8_t>(cmd), 0x01}; }

TEST_F(DeliveryOwnerTest, AnotherAccountsClientIsWelcomedWithNothingAndTheOwnerGetsItsAnswers)
{
    Answer(0x8000);  // before any client: no owner
    Connect(ALICE);
    Leave();
    Answer(0x8061);  // Alice went before her answer came
    Connect(BOB);
    EXPECT_EQ(Announce(), (std::vector<std::vector<uint8_t>>{Welcome(1), Held(0x8000)}))
        << "Bob gets the answer without owner only";
    EXPECT_EQ(EventIds, std::vector<DWORD>{EVENT_CLIENT_REFUSED}) << "Alice's answer was kept from Bob";
    Leave();
    Answer(0x8062);  // Bob's now
    Connect(ALICE);
    EXPECT_EQ(Announce(), (std::vector<std::vector<uint8_t>>{Welcome(1), Held(0x8061)}));
    Leave();
    Connect(BOB);
    EXPECT_EQ(Announce(), (std::vector<std::vector<uint8_t>>{Welcome(1), Held(0x8062)}));
    EXPECT_TRUE(EventIds.empty()) << "nothing held back from the owner";
    EXPECT_EQ(delivery.Held.Count, 0u);
}

}  // namespace
