#include "registry_helpers.h"

#include <gtest/gtest.h>

#include "config.h"

void DropVarnokKey()
{
    LONG rc = RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Varnok");
    ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) << rc;
    rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Varnok");
    ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) << rc;
}

bool ConfigKeyExists()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void SetRawValue(DWORD type, const void* data, DWORD size)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, 0, nullptr, 0, KEY_WRITE, nullptr,
                                             &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, CONFIG_VALUE_NAME, 0, type, static_cast<const BYTE*>(data), size));
    RegCloseKey(key);
}

RawValue GetRawValue()
{
    RawValue v{ERROR_FILE_NOT_FOUND, REG_NONE, {}};
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return v;
    BYTE data[256];
    DWORD size = sizeof data;
    v.Result = RegQueryValueExA(key, CONFIG_VALUE_NAME, nullptr, &v.Type, data, &size);
    if (v.Result == ERROR_SUCCESS)
        v.Bytes.assign(reinterpret_cast<char*>(data), size);
    RegCloseKey(key);
    return v;
}

void BlockConfigKey()
{
    DropVarnokKey();
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Varnok", 0, nullptr,
                                             REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
    ASSERT_NE(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, &key))
        << "a volatile parent must refuse a lasting child";
}
