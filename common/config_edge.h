// What differs between the service's and the applet's build of the configuration code; one
// small file per build (config_service.cpp, config_applet.cpp).
#pragma once

// Passes on one line about what the read or the write met; warning for what the operator
// must act on (an unusable stored value), not for ordinary events such as a missing value.
void ConfigReport(bool warning, const char* text);

// The result of ReadConfigAddr, given whether the key could be opened.
int ConfigReadResult(int keyOpened);
