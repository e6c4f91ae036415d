// Direct access to the configuration value, past the code under test.
#pragma once

#include <windows.h>

#include <string>

struct RawValue {
    LONG Result;
    DWORD Type;
    std::string Bytes;
};

// Removes HKLM\Software\Varnok with everything under it.
void DropVarnokKey();
bool ConfigKeyExists();
void SetRawValue(DWORD type, const void* data, DWORD size);
RawValue GetRawValue();
// Makes HKLM\Software\Varnok volatile, so that the configuration key cannot be created below it.
void BlockConfigKey();
