// Reports what the security attributes look like to a process, as bits of its exit code, for
// a test that runs it as if on another platform family.
#include "sec_attr.h"

enum ProbeBits {
    PROBE_NT = 1,
    PROBE_HAVE_ATTRIBUTES = 2,
    PROBE_NO_DESCRIPTOR = 4,
    PROBE_INHERITABLE = 8,
    PROBE_SAME_TWICE = 16,
    PROBE_STATUS_NO_DESCRIPTOR = 32,
};

int main()
{
    int bits = 0;
    SECURITY_ATTRIBUTES* sa = GetOpenSecurityAttributes();
    SECURITY_ATTRIBUTES* status = GetStatusSecurityAttributes();
    if (IsNTPlatform())
        bits |= PROBE_NT;
    if (sa != nullptr && status != nullptr) {
        bits |= PROBE_HAVE_ATTRIBUTES;
        if (sa->lpSecurityDescriptor == nullptr)
            bits |= PROBE_NO_DESCRIPTOR;
        if (sa->bInheritHandle && status->bInheritHandle && sa->nLength == sizeof *sa)
            bits |= PROBE_INHERITABLE;
        if (GetOpenSecurityAttributes() == sa && GetStatusSecurityAttributes() == status)
            bits |= PROBE_SAME_TWICE;
        if (status->lpSecurityDescriptor == nullptr)
            bits |= PROBE_STATUS_NO_DESCRIPTOR;
    }
    return bits;
}
