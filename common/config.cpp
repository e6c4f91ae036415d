#include "config.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "addr_rule.h"
#include "config_edge.h"

namespace {

constexpr size_t REPORT_SIZE = CONFIG_NOTE_SIZE + 96;

LONG CreateConfigKey(HKEY* key) { return RegCreateKeyA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, key); }

__attribute__((format(printf, 2, 3))) void Report(bool warning, const char* format, ...)
{
    char text[REPORT_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ConfigReport(warning, text);
}

}  // namespace

int OpenConfigKey(HKEY* key)
{
    if (key == nullptr)
        return 0;
    return CreateConfigKey(key) == ERROR_SUCCESS ? 1 : 0;
}

LONG CloseConfigKey(HKEY key) { return RegCloseKey(key); }

int ReadConfigAddr(char* addr)
{
    if (addr == nullptr)
        return 1;
    ConfigSetDefault(addr);
    HKEY key = nullptr;
    LONG rc = CreateConfigKey(&key);
    if (rc != ERROR_SUCCESS) {
        Report(true, "ReadConfigAddr: key HKLM\\%s cannot be opened (error %ld); default address %s",
               CONFIG_KEY_PATH, static_cast<long>(rc), addr);
        return ConfigReadResult(0);
    }
    // Read into a buffer of our own: the caller's keeps the default unless the value is usable.
    unsigned char data[CONFIG_ADDR_SIZE] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof data;
    rc = RegQueryValueExA(key, CONFIG_VALUE_NAME, nullptr, &type, data, &size);
    CloseConfigKey(key);
    char note[CONFIG_NOTE_SIZE];
    int verdict = ConfigTakeValue(rc, type, data, size, addr, note, sizeof note);
    if (verdict == CONFIG_VALUE_BAD)
        Report(true, "ReadConfigAddr: %s; default address %s used", note, addr);
    else if (verdict == CONFIG_VALUE_MISSING)
        Report(false, "ReadConfigAddr: no value \"%s\"; default address %s used", CONFIG_VALUE_NAME, addr);
    return ConfigReadResult(1);
}

int WriteConfigAddr(const char* addr)
{
    if (addr == nullptr)
        return 1;
    const void* end = memchr(addr, '\0', CONFIG_ADDR_SIZE);
    char text[CONFIG_ADDR_SIZE] = {};
    if (end != nullptr)
        memcpy(text, addr, static_cast<const char*>(end) - addr);
    // The reader would replace such a value by the default: better to say now that it was not
    // saved than to let the next start of the service use another terminal.
    AddrRule rule = JudgeAddr(addr, nullptr);
    if (end == nullptr || rule != ADDR_USABLE) {
        char why[ADDR_MESSAGE_SIZE];
        AddrRuleMessage(why, sizeof why, addr, end == nullptr ? ADDR_TOO_LONG : rule);
        Report(true, "WriteConfigAddr: %s Nothing written", why);
        return 0;
    }
    HKEY key = nullptr;
    LONG rc = CreateConfigKey(&key);
    if (rc != ERROR_SUCCESS) {
        Report(true, "WriteConfigAddr: key HKLM\\%s cannot be opened (error %ld)", CONFIG_KEY_PATH,
               static_cast<long>(rc));
        return 0;
    }
    rc = RegSetValueExA(key, CONFIG_VALUE_NAME, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
    CloseConfigKey(key);
    if (rc != ERROR_SUCCESS) {
        Report(true, "WriteConfigAddr: value \"%s\" cannot be set (error %ld)", CONFIG_VALUE_NAME,
               static_cast<long>(rc));
        return 0;
    }
    return 1;
}

namespace {

// Reads the DWORD value name beside the address as it is, for the caller to judge; false when the
// key cannot be opened.
bool QueryConfigDword(const char* name, LONG* rc, DWORD* type, DWORD* value, DWORD* size)
{
    HKEY key = nullptr;
    if (name == nullptr || RegOpenKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    *value = 0;
    *type = REG_NONE;
    *size = sizeof *value;
    *rc = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(value), size);
    CloseConfigKey(key);
    return true;
}

}  // namespace

unsigned long ReadConfigCapKB(const char* name)
{
    LONG rc = ERROR_SUCCESS;
    DWORD value = 0, type = REG_NONE, size = 0;
    if (!QueryConfigDword(name, &rc, &type, &value, &size))
        return 0;
    char note[CONFIG_NOTE_SIZE];
    unsigned long kb = ConfigTakeCapKB(name, rc, type, value, size, note, sizeof note);
    if (note[0] != '\0')
        Report(true, "ReadConfigCapKB: %s%s", note, kb == 0 ? "; the log's default cap used" : "");
    return kb;
}

int ReadConfigPath(const char* name, char* path, size_t size)
{
    HKEY key = nullptr;
    if (name == nullptr || path == nullptr || size == 0 ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    unsigned char data[CONFIG_PATH_SIZE] = {};
    DWORD type = REG_NONE;
    DWORD got = size < sizeof data ? static_cast<DWORD>(size) : static_cast<DWORD>(sizeof data);
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, data, &got);
    CloseConfigKey(key);
    char note[CONFIG_NOTE_SIZE];
    int verdict = ConfigTakePath(name, rc, type, data, got, path, size < sizeof data ? size : sizeof data, note,
                                 sizeof note);
    if (verdict == CONFIG_VALUE_BAD)
        Report(true, "ReadConfigPath: %s; not used", note);
    return verdict == CONFIG_VALUE_TAKEN ? 1 : 0;
}

unsigned long ReadConfigCount(const char* name, unsigned long fallback, unsigned long largest)
{
    LONG rc = ERROR_SUCCESS;
    DWORD value = 0, type = REG_NONE, size = 0;
    if (!QueryConfigDword(name, &rc, &type, &value, &size))
        return fallback;
    char note[CONFIG_NOTE_SIZE];
    unsigned long n = ConfigTakeCount(name, rc, type, value, size, fallback, largest, note, sizeof note);
    if (note[0] != '\0')
        Report(true, "ReadConfigCount: %s", note);
    return n;
}

int ReadConfigAccounts(char* list, size_t size)
{
    HKEY key = nullptr;
    if (list == nullptr || size < 2)
        return 0;
    list[0] = '\0';
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    unsigned char data[CONFIG_ACCOUNTS_SIZE];
    DWORD type = REG_NONE;
    // Two bytes are kept back for the NULs the list needs.
    size_t room = size < sizeof data ? size : sizeof data;
    DWORD got = static_cast<DWORD>(room - 2);
    LONG rc = RegQueryValueExA(key, CONFIG_CLIENT_ACCOUNTS_VALUE, nullptr, &type, data, &got);
    CloseConfigKey(key);
    char note[CONFIG_NOTE_SIZE];
    int verdict = ConfigTakeAccounts(rc, type, data, got, list, room, note, sizeof note);
    if (verdict == CONFIG_VALUE_BAD)
        Report(true, "ReadConfigAccounts: %s; the pipe admits SYSTEM and Administrators only", note);
    return verdict == CONFIG_VALUE_MISSING ? 0 : 1;
}
