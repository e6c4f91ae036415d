#include "config_value.h"
#include "ident_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr char kPoison = '\x5A';

struct Taken {
    int Verdict;
    std::string Addr;  // the whole buffer up to its first NUL
    bool Terminated;   // a NUL within the 16 bytes
    std::string Note;
};

Taken Take(long result, unsigned long type, const void* bytes, unsigned long size)
{
    unsigned char data[CONFIG_ADDR_SIZE];
    memset(data, 0xEE, sizeof data);
    // The query delivers at most the buffer's 16 bytes, whatever size it reports.
    memcpy(data, bytes, size < sizeof data ? size : sizeof data);
    char addr[CONFIG_ADDR_SIZE];
    ConfigSetDefault(addr);
    char note[CONFIG_NOTE_SIZE];
    Taken t;
    t.Verdict = ConfigTakeValue(result, type, data, size, addr, note, sizeof note);
    t.Terminated = memchr(addr, '\0', sizeof addr) != nullptr;
    t.Addr = t.Terminated ? std::string(addr) : std::string(addr, sizeof addr);
    t.Note = note;
    return t;
}

TEST(ConfigValue, DefaultFillsTheWholeBuffer)
{
    char addr[CONFIG_ADDR_SIZE];
    memset(addr, kPoison, sizeof addr);
    ConfigSetDefault(addr);
    const char expected[CONFIG_ADDR_SIZE] = "127.0.0.1";
    EXPECT_EQ(0, memcmp(expected, addr, sizeof addr)) << "text, NUL, then zeros";
}

TEST(ConfigValue, UsableStringsAreTaken)
{
    Taken t = Take(CONFIG_QUERY_OK, CONFIG_TYPE_STRING, "10.1.2.3\0\x77\x77", 11);
    EXPECT_EQ(CONFIG_VALUE_TAKEN, t.Verdict);
    EXPECT_EQ("10.1.2.3", t.Addr);
    EXPECT_EQ("", t.Note);

    t = Take(CONFIG_QUERY_OK, CONFIG_TYPE_STRING, "223.255.255.255", 16);
    EXPECT_EQ(CONFIG_VALUE_TAKEN, t.Verdict);
    EXPECT_EQ("223.255.255.255", t.Addr);

    // Stored without its NUL: the reported size ends the text, not the bytes after it.
    t = Take(CONFIG_QUERY_OK, CONFIG_TYPE_STRING, "10.0.0.9", 8);
    EXPECT_EQ(CONFIG_VALUE_TAKEN, t.Verdict);
    EXPECT_EQ("10.0.0.9", t.Addr);
    EXPECT_TRUE(t.Terminated);
}

TEST(ConfigValue, MissingValueKeepsTheDefaultWithoutNote)
{
    Taken t = Take(CONFIG_QUERY_NOT_FOUND, 0, "", 0);
    EXPECT_EQ(CONFIG_VALUE_MISSING, t.Verdict);
    EXPECT_EQ("127.0.0.1", t.Addr);
    EXPECT_EQ("", t.Note);
}

TEST(ConfigValue, UnusableValuesKeepTheDefaultAndSayWhatWasFound)
{
    struct Case {
        long Result;
        unsigned long Type;
        const char* Bytes;
        unsigned long Size;
        const char* Note;
    } cases[] = {
        {CONFIG_QUERY_OK, 4, "\x01\x02\x03\x04", 4, "value \"Addr\" is of type 4, not a string (REG_SZ)"},
        {CONFIG_QUERY_MORE_DATA, CONFIG_TYPE_STRING, "1234567890123456", 21, "value \"Addr\" holds 21 bytes, more than fit an address"},
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, "1111111111111111", 16,
         "value \"Addr\" has no end within 16 bytes: \"1111111111111111\""},
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, "abc\0", 4,
         "value \"Addr\" \"abc\" holds a character other than digits and dots"},
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, "1.2.3\n\"\0", 8,
         "value \"Addr\" \"1.2.3\\x0A\\x22\" holds a character other than digits and dots"},
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, "", 0, "value \"Addr\" \"\" is empty"},
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, "1.2.3.256\0", 10,
         "value \"Addr\" \"1.2.3.256\" has a number above 255"},
        // The links refuse these: the reader gives the default, so that the service still runs.
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, "0.0.0.0\0", 8, "value \"Addr\" \"0.0.0.0\" is 0.0.0.0, which names no host"},
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, "255.255.255.255\0", 16,
         "value \"Addr\" \"255.255.255.255\" is 224.0.0.0 or above (multicast or broadcast), not one host"},
        {5, CONFIG_TYPE_STRING, "", 0, "value \"Addr\" could not be read (error 5)"},
    };
    for (const Case& c : cases) {
        Taken t = Take(c.Result, c.Type, c.Bytes, c.Size);
        EXPECT_EQ(CONFIG_VALUE_BAD, t.Verdict) << c.Note;
        EXPECT_EQ("127.0.0.1", t.Addr) << c.Note;
        EXPECT_EQ(c.Note, t.Note);
    }
}


TEST(IdentBlock, LayoutIsPidLittleEndianThenTheWholeAddressBuffer)
{
    ServiceIdent in{};
    in.Pid = 0x12345678;
    memcpy(in.IPAddr, "10.1.2.3\0\x41\x42\x43\x44\x45\x46\x47", CONFIG_ADDR_SIZE);
    uint8_t block[IDENT_SIZE];
    memset(block, 0xCC, sizeof block);
    IdentEncode(block, &in);
    const uint8_t expected[IDENT_SIZE] = {0x78, 0x56, 0x34, 0x12, '1', '0', '.', '1', '.', '2',
                                          '.',  '3',  0,    'A',  'B', 'C', 'D', 'E', 'F', 'G'};
    EXPECT_EQ(0, memcmp(expected, block, sizeof block));

    ServiceIdent out;
    IdentDecode(block, &out);
    EXPECT_EQ(0x12345678u, out.Pid);
    EXPECT_EQ(0, memcmp(in.IPAddr, out.IPAddr, CONFIG_ADDR_SIZE));
}

TEST(IdentBlock, AddressWithoutNulIsCutToFifteenCharactersBothWays)
{
    ServiceIdent in{};
    memcpy(in.IPAddr, "AAAAAAAAAAAAAAAA", CONFIG_ADDR_SIZE);
    uint8_t block[IDENT_SIZE];
    IdentEncode(block, &in);
    EXPECT_EQ(0, block[IDENT_SIZE - 1]);

    // A block written by someone else without the NUL.
    memset(block + IDENT_ADDR_OFFSET, 'B', CONFIG_ADDR_SIZE);
    ServiceIdent out;
    IdentDecode(block, &out);
    EXPECT_EQ(std::string(15, 'B'), std::string(out.IPAddr));
}

TEST(ConfigValue, LogCapsInKilobytes)
{
    const struct {
        long Result;
        unsigned long Type, Value, Size, KB;
        const char* Note;
    } cases[] = {
        {CONFIG_QUERY_OK, CONFIG_TYPE_DWORD, 64, 4, 64, ""},
        {CONFIG_QUERY_OK, CONFIG_TYPE_DWORD, 1, 4, 1, ""},
        {CONFIG_QUERY_OK, CONFIG_TYPE_DWORD, CONFIG_CAP_MAX_KB, 4, CONFIG_CAP_MAX_KB, ""},
        {CONFIG_QUERY_NOT_FOUND, 0, 0, 0, 0, ""},
        {CONFIG_QUERY_OK, CONFIG_TYPE_DWORD, 0, 4, 0, "value \"TraceMaxKB\" is 0, not a size"},
        {CONFIG_QUERY_OK, CONFIG_TYPE_DWORD, 4000000, 4, CONFIG_CAP_MAX_KB,
         "value \"TraceMaxKB\" is 4000000 KB, more than 1048576 KB; 1048576 KB used"},
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, 0, 3, 0,
         "value \"TraceMaxKB\" is of type 1 and 3 bytes, not a number (REG_DWORD)"},
        {CONFIG_QUERY_MORE_DATA, 11, 0, 8, 0, "value \"TraceMaxKB\" is of type 11 and 8 bytes, not a number (REG_DWORD)"},
        {5, 0, 0, 0, 0, "value \"TraceMaxKB\" could not be read (error 5)"},
    };
    for (const auto& c : cases) {
        char note[CONFIG_NOTE_SIZE];
        EXPECT_EQ(c.KB, ConfigTakeCapKB("TraceMaxKB", c.Result, c.Type, c.Value, c.Size, note, sizeof note)) << c.Note;
        EXPECT_STREQ(c.Note, note);
    }
}

TEST(ConfigValue, CommLogFileName)
{
    const struct {
        long Result;
        unsigned long Type;
        std::string Data;
        int Verdict;
        const char* Path;
        const char* Note;
    } cases[] = {
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, std::string("c:\\x.log\0", 9), CONFIG_VALUE_TAKEN, "c:\\x.log", ""},
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, "c:\\nonul", CONFIG_VALUE_TAKEN, "c:\\nonul", ""},
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, std::string("\0", 1), CONFIG_VALUE_MISSING, "", ""},
        {CONFIG_QUERY_NOT_FOUND, 0, "", CONFIG_VALUE_MISSING, "", ""},
        {CONFIG_QUERY_OK, CONFIG_TYPE_DWORD, "abcd", CONFIG_VALUE_BAD, "",
         "value \"CommLog\" is of type 4, not a string (REG_SZ)"},
        {CONFIG_QUERY_MORE_DATA, CONFIG_TYPE_STRING, "", CONFIG_VALUE_BAD, "",
         "value \"CommLog\" holds 0 bytes, more than a file name"},
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, "0123456789ab", CONFIG_VALUE_BAD, "",
         "value \"CommLog\" has no end within 12 bytes"},
        {5, 0, "", CONFIG_VALUE_BAD, "", "value \"CommLog\" could not be read (error 5)"},
    };
    for (const auto& c : cases) {
        char path[12] = "";
        char note[CONFIG_NOTE_SIZE];
        const auto* data = reinterpret_cast<const unsigned char*>(c.Data.data());
        EXPECT_EQ(c.Verdict, ConfigTakePath("CommLog", c.Result, c.Type, data, static_cast<unsigned long>(c.Data.size()),
                                            path, sizeof path, note, sizeof note))
            << c.Note;
        EXPECT_STREQ(c.Path, path);
        EXPECT_STREQ(c.Note, note);
    }
}

TEST(ConfigValue, HeldAnswerCounts)
{
    const struct {
        long Result;
        unsigned long Type, Value, Size, Count;
        const char* Note;
    } cases[] = {
        {CONFIG_QUERY_OK, CONFIG_TYPE_DWORD, 10, 4, 10, ""},
        {CONFIG_QUERY_OK, CONFIG_TYPE_DWORD, 0, 4, 0, ""},
        {CONFIG_QUERY_NOT_FOUND, 0, 0, 0, 64, ""},
        {CONFIG_QUERY_OK, CONFIG_TYPE_DWORD, 513, 4, 512, "value \"HeldMax\" is 513, more than 512; 512 used"},
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, 0, 3, 64,
         "value \"HeldMax\" is of type 1 and 3 bytes, not a number (REG_DWORD); 64 used"},
        {5, 0, 0, 0, 64, "value \"HeldMax\" could not be read (error 5); 64 used"},
    };
    for (const auto& c : cases) {
        char note[CONFIG_NOTE_SIZE];
        EXPECT_EQ(c.Count, ConfigTakeCount("HeldMax", c.Result, c.Type, c.Value, c.Size, 64, 512, note, sizeof note))
            << c.Note;
        EXPECT_STREQ(c.Note, note);
    }
}

}  // namespace

TEST(ConfigValue, ClientAccountsList)
{
    const struct {
        long Result;
        unsigned long Type;
        std::string Data;
        int Verdict;
        std::string List;  // the strings with their NULs, as the list holds them
        const char* Note;
    } cases[] = {
        {CONFIG_QUERY_OK, CONFIG_TYPE_MULTI_STRING, std::string("pos\0S-1-5-32-545\0\0", 19), CONFIG_VALUE_TAKEN,
         std::string("pos\0S-1-5-32-545\0", 17), ""},
        {CONFIG_QUERY_OK, CONFIG_TYPE_MULTI_STRING, std::string("a\0\0\0b c", 7), CONFIG_VALUE_TAKEN,
         std::string("a\0b c\0", 6), ""},  // blank strings left out, an unended last one ended
        {CONFIG_QUERY_OK, CONFIG_TYPE_STRING, std::string("DOM\\pos\0x\0", 10), CONFIG_VALUE_TAKEN,
         std::string("DOM\\pos\0", 8), ""},
        {CONFIG_QUERY_OK, CONFIG_TYPE_MULTI_STRING, std::string("\0\0", 2), CONFIG_VALUE_TAKEN, "", ""},
        {CONFIG_QUERY_NOT_FOUND, 0, "", CONFIG_VALUE_MISSING, "", ""},
        {CONFIG_QUERY_OK, CONFIG_TYPE_DWORD, "abcd", CONFIG_VALUE_BAD, "",
         "value \"ClientAccounts\" is of type 4, not a list of strings (REG_MULTI_SZ)"},
        {CONFIG_QUERY_MORE_DATA, CONFIG_TYPE_MULTI_STRING, "", CONFIG_VALUE_BAD, "",
         "value \"ClientAccounts\" holds 0 bytes, more than 22"},
        {CONFIG_QUERY_OK, CONFIG_TYPE_MULTI_STRING, "0123456789abcdefghijklm", CONFIG_VALUE_BAD, "",
         "value \"ClientAccounts\" holds 23 bytes, more than 22"},
        {CONFIG_QUERY_OK, CONFIG_TYPE_MULTI_STRING, "0123456789abcdefghijkl", CONFIG_VALUE_TAKEN,
         std::string("0123456789abcdefghijkl\0", 23), ""},
        {5, 0, "", CONFIG_VALUE_BAD, "", "value \"ClientAccounts\" could not be read (error 5)"},
    };
    for (const auto& c : cases) {
        char list[24];
        memset(list, 'x', sizeof list);
        char note[CONFIG_NOTE_SIZE];
        const auto* data = reinterpret_cast<const unsigned char*>(c.Data.data());
        EXPECT_EQ(c.Verdict, ConfigTakeAccounts(c.Result, c.Type, data, static_cast<unsigned long>(c.Data.size()), list,
                                                sizeof list, note, sizeof note))
            << c.Note;
        EXPECT_EQ(std::string(list, c.List.size() + 1), c.List + std::string(1, '\0')) << c.Note;
        EXPECT_STREQ(c.Note, note);
    }
}
