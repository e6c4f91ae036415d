// The service's build of the configuration code against the real registry (under Wine).
#include "config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "debug.h"
#include "registry_helpers.h"

namespace {

std::string Bytes16(const char* text) { return std::string(text, CONFIG_ADDR_SIZE); }

class ConfigRegistry : public testing::Test {
protected:
    void SetUp() override
    {
        DropVarnokKey();
        char dir[MAX_PATH];
        GetTempPathA(sizeof dir, dir);
        snprintf(TracePath, sizeof TracePath, "%sconfig_registry_%lu_%d.log", dir, GetCurrentProcessId(), ++Count);
        DeleteFileA(TracePath);
        ASSERT_TRUE(OpenTrace(TracePath));
    }
    void TearDown() override
    {
        DropVarnokKey();
        OpenTrace("-");
        DeleteFileA(TracePath);
    }
    std::string Trace()
    {
        std::ifstream in(TracePath, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        // The trace is a text file: its lines end in CR LF on disk.
        std::string text = s.str();
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        return text;
    }
    // Reads into a buffer full of junk, so that a byte left undefined shows.
    std::string Read(int* result)
    {
        char addr[CONFIG_ADDR_SIZE];
        memset(addr, '\x5A', sizeof addr);
        *result = ReadConfigAddr(addr);
        return std::string(addr, sizeof addr);
    }
    char TracePath[MAX_PATH];
    static int Count;
};
int ConfigRegistry::Count = 0;

TEST_F(ConfigRegistry, EightAndFifteenCharactersRoundTripAsSixteenBytesOfString)
{
    for (const char* text : {"10.1.2.3\0\x61\x62\x63\x64\x65\x66\x67", "192.168.100.200"}) {
        ASSERT_EQ(1, WriteConfigAddr(text));
        RawValue raw = GetRawValue();
        ASSERT_EQ(ERROR_SUCCESS, raw.Result);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), raw.Type);
        // Exactly 16 bytes: the text, its NUL and zeros in place of what followed it.
        char expected[CONFIG_ADDR_SIZE] = {};
        strcpy(expected, text);
        EXPECT_EQ(std::string(expected, sizeof expected), raw.Bytes);

        int result = 0;
        EXPECT_EQ(std::string(expected, sizeof expected), Read(&result));
        EXPECT_EQ(1, result);
    }
    EXPECT_EQ(std::string::npos, Trace().find("ReadConfigAddr")) << Trace();
}

TEST_F(ConfigRegistry, MissingKeyIsCreatedEmptyAndTheDefaultUsed)
{
    ASSERT_FALSE(ConfigKeyExists());
    int result = 0;
    EXPECT_EQ(Bytes16("127.0.0.1\0\0\0\0\0\0"), Read(&result));
    EXPECT_EQ(1, result);
    EXPECT_TRUE(ConfigKeyExists());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetRawValue().Result) << "the read must not store a value";
    EXPECT_NE(std::string::npos, Trace().find("ReadConfigAddr: no value \"Addr\"; default address 127.0.0.1 used\n"))
        << Trace();
}

TEST_F(ConfigRegistry, UnusableValuesGiveTheDefaultAndAWarning)
{
    const DWORD number = 0x0100007F;
    struct Case {
        DWORD Type;
        const void* Data;
        DWORD Size;
        const char* Line;
    } cases[] = {
        {REG_DWORD, &number, 4, "value \"Addr\" is of type 4, not a string (REG_SZ)"},
        {REG_SZ, "1.2.3.4 and then more", 22, "value \"Addr\" holds 22 bytes, more than fit an address"},
        // Wine reports a string stored without its NUL as one byte longer; Windows may hand over
        // the 16 bytes without one. Either way the value is unusable.
        {REG_SZ, "1111111111111111", 16, nullptr},
        {REG_SZ, "terminal", 9, "value \"Addr\" \"terminal\" holds a character other than digits and dots"},
        // What the links refuse is never handed to them: the service runs on the default.
        {REG_SZ, "0.0.0.0", 8, "value \"Addr\" \"0.0.0.0\" is 0.0.0.0, which names no host"},
        {REG_SZ, "224.0.0.1", 10,
         "value \"Addr\" \"224.0.0.1\" is 224.0.0.0 or above (multicast or broadcast), not one host"},
        {REG_BINARY, "10.1.2.3", 9, "value \"Addr\" is of type 3, not a string (REG_SZ)"},
    };
    for (const Case& c : cases) {
        SetRawValue(c.Type, c.Data, c.Size);
        int result = 0;
        EXPECT_EQ(Bytes16("127.0.0.1\0\0\0\0\0\0"), Read(&result)) << (c.Line ? c.Line : "no NUL");
        EXPECT_EQ(1, result);
        if (c.Line == nullptr) {
            std::string trace = Trace();
            std::string last = trace.substr(trace.rfind(": ReadConfigAddr: ") + 2);
            EXPECT_TRUE(last == "ReadConfigAddr: value \"Addr\" holds 17 bytes, more than fit an address; default "
                                "address 127.0.0.1 used\n" ||
                        last == "ReadConfigAddr: value \"Addr\" has no end within 16 bytes: \"1111111111111111\"; "
                                "default address 127.0.0.1 used\n")
                << last;
            continue;
        }
        std::string line = std::string("ReadConfigAddr: ") + c.Line + "; default address 127.0.0.1 used\n";
        EXPECT_NE(std::string::npos, Trace().find(line)) << Trace();
    }
}

TEST_F(ConfigRegistry, StringStoredWithoutItsNulEndsAtItsSize)
{
    SetRawValue(REG_SZ, "10.0.0.9", 8);
    int result = 0;
    EXPECT_EQ(Bytes16("10.0.0.9\0\0\0\0\0\0\0"), Read(&result));
    EXPECT_EQ(1, result);
}

TEST_F(ConfigRegistry, WriteRefusesTextThatIsNoAddress)
{
    ASSERT_EQ(1, WriteConfigAddr("10.1.2.3"));
    const char noNul[CONFIG_ADDR_SIZE] = {'1', '0', '.', '1', '.', '2', '.', '3', '3', '3',
                                          '3', '3', '3', '3', '3', '3'};
    for (const char* bad : {"1.2.3", "", "1.2.3.4 ", noNul, "0.0.0.0", "255.255.255.255", "224.0.0.1"}) {
        EXPECT_EQ(0, WriteConfigAddr(bad));
        EXPECT_EQ(Bytes16("10.1.2.3\0\0\0\0\0\0\0"), GetRawValue().Bytes) << "the stored value stays";
    }
    EXPECT_NE(std::string::npos,
              Trace().find("WriteConfigAddr: The terminal address \"1.2.3\" is not four numbers separated by single "
                           "dots. Nothing written\n"))
        << Trace();
    EXPECT_NE(std::string::npos,
              Trace().find("WriteConfigAddr: The terminal address \"0.0.0.0\" is 0.0.0.0, which names no host. "
                           "Nothing written\n"))
        << Trace();
}

// The log caps beside the address: kilobytes as REG_DWORD, the default for anything else.
TEST_F(ConfigRegistry, LogCapsAreReadBesideTheAddress)
{
    EXPECT_EQ(0ul, ReadConfigCapKB(CONFIG_TRACE_CAP_VALUE)) << "no key: the default";
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, &key));
    DWORD kb = 64;
    RegSetValueExA(key, CONFIG_TRACE_CAP_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kb), sizeof kb);
    RegSetValueExA(key, CONFIG_CAPTURE_CAP_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>("64"), 3);
    RegCloseKey(key);
    EXPECT_EQ(64ul, ReadConfigCapKB(CONFIG_TRACE_CAP_VALUE));
    EXPECT_EQ(0ul, ReadConfigCapKB(CONFIG_CAPTURE_CAP_VALUE));
    EXPECT_NE(std::string::npos, Trace().find("ReadConfigCapKB: value \"CaptureMaxKB\" is of type 1 and 3 bytes, not a "
                                              "number (REG_DWORD); the log's default cap used\n"))
        << Trace();
}

TEST_F(ConfigRegistry, KeyThatCannotBeOpenedFailsReadAndWrite)
{
    BlockConfigKey();
    int result = 1;
    EXPECT_EQ(Bytes16("127.0.0.1\0\0\0\0\0\0"), Read(&result));
    EXPECT_EQ(0, result) << "the service must not start serving";
    EXPECT_EQ(0, WriteConfigAddr("10.1.2.3"));
    EXPECT_NE(std::string::npos, Trace().find("ReadConfigAddr: key HKLM\\Software\\Varnok\\PaymentTermService cannot "
                                              "be opened"))
        << Trace();
}

TEST_F(ConfigRegistry, NoBufferDoesNothing)
{
    EXPECT_EQ(1, ReadConfigAddr(nullptr));
    EXPECT_EQ(1, WriteConfigAddr(nullptr));
    EXPECT_FALSE(ConfigKeyExists());
}

TEST(ConfigKey, OpenCreatesAndCloseReportsTheCloseResult)
{
    DropVarnokKey();
    HKEY key = nullptr;
    ASSERT_EQ(1, OpenConfigKey(&key));
    EXPECT_TRUE(ConfigKeyExists());
    EXPECT_EQ(ERROR_SUCCESS, CloseConfigKey(key));
    EXPECT_EQ(0, OpenConfigKey(nullptr));
    DropVarnokKey();
}

}  // namespace
