// The applet's build of the configuration code: its read always reports success.
#include "config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "registry_helpers.h"

namespace {

std::string Read(int* result)
{
    char addr[CONFIG_ADDR_SIZE];
    memset(addr, '\x5A', sizeof addr);
    *result = ReadConfigAddr(addr);
    return std::string(addr, sizeof addr);
}

TEST(AppletConfig, ReadSucceedsWithTheDefaultWhenTheKeyCannotBeOpened)
{
    BlockConfigKey();
    int result = 0;
    EXPECT_EQ(std::string("127.0.0.1\0\0\0\0\0\0", CONFIG_ADDR_SIZE), Read(&result));
    EXPECT_EQ(1, result);
    EXPECT_EQ(0, WriteConfigAddr("10.1.2.3")) << "Save must report the failure";
    DropVarnokKey();
}

TEST(AppletConfig, SavedAddressIsReadBackAndUnusableOneGivesTheDefault)
{
    DropVarnokKey();
    ASSERT_EQ(1, WriteConfigAddr("198.18.0.2"));
    int result = 0;
    EXPECT_EQ(std::string("198.18.0.2\0\0\0\0\0", CONFIG_ADDR_SIZE), Read(&result));
    EXPECT_EQ(1, result);

    SetRawValue(REG_SZ, "1111111111111111", 16);
    EXPECT_EQ(std::string("127.0.0.1\0\0\0\0\0\0", CONFIG_ADDR_SIZE), Read(&result));
    EXPECT_EQ(1, result);
    DropVarnokKey();
}

}  // namespace
