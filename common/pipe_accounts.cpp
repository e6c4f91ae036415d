#include "pipe_accounts.h"

#include "config.h"
#include "debug.h"
#include "sec_attr.h"

namespace {

void NoteAccount(const char* entry, const char* sid, unsigned long error)
{
    if (sid != nullptr)
        TraceMessage("ClientAccounts: '%s' is %s: it may use the pipe\n", entry, sid);
    else
        EventMessage(EVENT_CONFIG_FALLBACK, "ClientAccounts: '%s' is no account of this machine (error %lu): skipped\n", entry, error);
}

}  // namespace

int LimitPipeToConfiguredAccounts()
{
    static char list[CONFIG_ACCOUNTS_SIZE];
    if (!ReadConfigAccounts(list, sizeof list)) {
        SetPipeClientAccounts(nullptr, nullptr);
        TraceMessage("ClientAccounts: no value: every local account may use the pipe\n");
        return -1;
    }
    if (!IsNTPlatform()) {
        // The 9x family has no object security: every local program may use the pipe there.
        SetPipeClientAccounts(nullptr, nullptr);
        TraceMessage("ClientAccounts: no accounts on this platform: the value is not used\n");
        return -1;
    }
    int n = SetPipeClientAccounts(list, NoteAccount);
    if (n == 0)
        EventMessage(EVENT_CONFIG_FALLBACK, "ClientAccounts: no account to admit: only SYSTEM and Administrators may use the pipe\n");
    return n;
}
