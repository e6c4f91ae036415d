// The Control Panel entry and its configuration dialog. The applet never talks to the service:
// it reads the shared status block to show whether the service runs, and reads and writes the
// registry value that the service reads when it next starts.
#include <windows.h>
#include <commctrl.h>
#include <cpl.h>

#include <cstdio>
#include <cstring>

#include "addr_rule.h"
#include "config.h"
#include "ident.h"
#include "resource.h"

namespace {

HINSTANCE AppletInstance = nullptr;
bool LastShownRunning = false;
uint32_t LastShownPid = 0;

constexpr UINT_PTR REFRESH_TIMER_ID = 0;
constexpr UINT REFRESH_INTERVAL_MS = 500;
constexpr size_t TEXT_BUFFER_SIZE = 260;
// The field's text is read one character further than the rule ever looks, so that a field
// with extra characters is judged as such rather than cut to look complete.
constexpr int CHECK_BUFFER_SIZE = ADDR_TEXT_MAX + 2;

void ShowError(HWND owner, const char* text)
{
    MessageBoxA(owner, text, APPLET_BOX_CAPTION, MB_ICONERROR | MB_OK);
}

void ShowLastError(HWND owner, const char* format)
{
    DWORD err = GetLastError();
    char text[TEXT_BUFFER_SIZE];
    snprintf(text, sizeof text, format, static_cast<unsigned long>(err), static_cast<unsigned long>(err));
    ShowError(owner, text);
}

HINSTANCE DialogModule(HWND dialog)
{
    return reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
}

void SetDialogIcon(HWND dialog, int iconId)
{
    HICON icon = LoadIconA(DialogModule(dialog), MAKEINTRESOURCEA(iconId));
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    // NT 3.51 and older have no WM_SETICON: the icon comes from the window class.
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion <= 3 &&
        version.dwMinorVersion <= 51) {
        SetClassLongPtrA(dialog, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
    } else {
        SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
}

void SetControlIcon(HWND dialog, int iconId, int controlId)
{
    HICON icon = LoadIconA(DialogModule(dialog), MAKEINTRESOURCEA(iconId));
    SendDlgItemMessageA(dialog, controlId, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
}

// One line per terminal application, in mask-bit order, from the status block's link states.
void FormatLinks(const uint8_t* states, char* text, size_t size)
{
    static const char* const names[IDENT_LINK_COUNT] = {"Master", "MBCA", "Maint", "Fleet", "Petro"};
    static const char* const words[] = {"no word yet", "answering", "answering (retrying)", "not answering"};
    size_t used = 0;
    text[0] = '\0';
    for (size_t i = 0; i < IDENT_LINK_COUNT && used < size; ++i) {
        const char* word = states[i] < 4 ? words[states[i]] : "unknown";
        int n = snprintf(text + used, size - used, "%s%s: %s", i > 0 ? "\n" : "", names[i], word);
        if (n < 0)
            break;
        used += static_cast<size_t>(n);
    }
}

void RefreshLinks(HWND dialog, bool running, bool force)
{
    static char shown[TEXT_BUFFER_SIZE];
    char text[TEXT_BUFFER_SIZE] = "";
    uint8_t states[IDENT_LINK_COUNT];
    if (running && ReadIdentLinks(states))
        FormatLinks(states, text, sizeof text);
    if (force || strcmp(text, shown) != 0) {
        SetDlgItemTextA(dialog, IDC_LINK_TEXT, text);
        memcpy(shown, text, sizeof shown);
    }
}

void RefreshServiceState(HWND dialog, int controlId, bool force)
{
    uint32_t pid = 0;
    // One byte beyond the block's 16 so that the text always ends, whatever the block holds.
    char addr[CONFIG_ADDR_SIZE + 1];
    memset(addr, 0, sizeof addr);
    bool running = ReadIdent(&pid, addr) != 0;
    if (!running)
        pid = 0;
    if (force || running != LastShownRunning || pid != LastShownPid) {
        char text[TEXT_BUFFER_SIZE];
        if (running)
            snprintf(text, sizeof text, "Service is running with pid %lu. (IPAddr=%s)",
                     static_cast<unsigned long>(pid), addr);
        else
            snprintf(text, sizeof text, "Service is not running.");
        SetDlgItemTextA(dialog, controlId, text);
        LastShownRunning = running;
        LastShownPid = pid;
    }
    RefreshLinks(dialog, running, force);
    SetTimer(dialog, REFRESH_TIMER_ID, REFRESH_INTERVAL_MS, nullptr);
}

// The IP address control takes its content through IPM_SETADDRESS; some implementations of
// it ignore WM_SETTEXT, so window text is only the fallback for text that is not an address.
void SetAddressField(HWND dialog, int controlId, const char* text)
{
    uint8_t f[4];
    if (JudgeAddr(text, f) == ADDR_USABLE)
        SendDlgItemMessageA(dialog, controlId, IPM_SETADDRESS, 0, MAKEIPADDRESS(f[0], f[1], f[2], f[3]));
    else
        SetDlgItemTextA(dialog, controlId, text);
}

// The field's text as the rule judges it. A cleared IP address control reads as "0.0.0.0": it
// counts as empty, so that the message says nothing was entered.
AddrRule ReadAddressField(HWND dialog, int controlId, char* text, int size)
{
    memset(text, 0, static_cast<size_t>(size));
    GetDlgItemTextA(dialog, controlId, text, size);
    if (SendDlgItemMessageA(dialog, controlId, IPM_ISBLANK, 0, 0) != 0)
        text[0] = '\0';
    return JudgeAddr(text, nullptr);
}

void SaveAddress(HWND dialog, int controlId)
{
    char text[CHECK_BUFFER_SIZE];
    AddrRule rule = ReadAddressField(dialog, controlId, text, sizeof text);
    if (rule != ADDR_USABLE) {
        char message[ADDR_MESSAGE_SIZE + 32];
        size_t n = AddrRuleMessage(message, ADDR_MESSAGE_SIZE, text, rule);
        snprintf(message + n, sizeof message - n, " Nothing was saved.");
        ShowError(dialog, message);
        return;
    }
    // Zeroed first: all 16 bytes go to the registry, and none of them may be stack leftovers.
    char addr[CONFIG_ADDR_SIZE];
    memset(addr, 0, sizeof addr);
    memcpy(addr, text, strlen(text));
    if (WriteConfigAddr(addr) == 0)
        ShowError(dialog, "Error saving parameters !");
}

// Names, under the field, the rule its text breaks; empty while the text is a usable address.
void CheckAddressField(HWND dialog, int controlId, int ruleId)
{
    char text[CHECK_BUFFER_SIZE];
    AddrRule rule = ReadAddressField(dialog, controlId, text, sizeof text);
    char message[ADDR_MESSAGE_SIZE];
    message[0] = '\0';
    if (rule != ADDR_USABLE)
        AddrRuleMessage(message, sizeof message, text, rule);
    SetDlgItemTextA(dialog, ruleId, message);
}

INT_PTR CALLBACK AppletDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        SetDialogIcon(dialog, IDI_APPLET_ENTRY);
        SetControlIcon(dialog, IDI_APPLET_ENTRY, IDC_ICON_TOP);
        SetControlIcon(dialog, IDI_APPLET, IDC_ICON_LEFT);
        SetControlIcon(dialog, IDI_APPLET, IDC_ICON_RIGHT);
        RefreshServiceState(dialog, IDC_STATE_TEXT, true);
        char addr[CONFIG_ADDR_SIZE + 1];
        memset(addr, 0, sizeof addr);
        if (ReadConfigAddr(addr) != 0)
            SetAddressField(dialog, IDC_ADDRESS, addr);
        return FALSE;  // the dialog manager leaves the focus alone
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            EndDialog(dialog, 1);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        case IDC_SAVE:
            SaveAddress(dialog, IDC_ADDRESS);
            return TRUE;
        case IDC_ADDRESS:
            if (HIWORD(wParam) == EN_CHANGE)
                CheckAddressField(dialog, IDC_ADDRESS, IDC_ADDRESS_RULE);
            return TRUE;
        default:
            return FALSE;
        }
    case WM_TIMER:
        RefreshServiceState(dialog, IDC_STATE_TEXT, false);
        return TRUE;
    default:
        return FALSE;
    }
}

LONG OpenDialog(HWND owner)
{
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_INTERNET_CLASSES;
    if (!InitCommonControlsEx(&controls)) {
        ShowLastError(owner, "InitCommControls -> %lu (%08lx)!");
        return 1;
    }
    INT_PTR result = DialogBoxParamA(AppletInstance, MAKEINTRESOURCEA(IDD_APPLET), owner,
                                     AppletDialogProc, 0);
    if (result == -1) {
        ShowLastError(owner, "Error creating dialog window -> %lu (%08lx)!");
        return 1;
    }
    return 0;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        AppletInstance = module;
    return TRUE;
}

extern "C" LONG WINAPI CPlApplet(HWND window, UINT message, LPARAM param1, LPARAM param2)
{
    switch (message) {
    case CPL_INIT:
        return 1;
    case CPL_GETCOUNT:
        return 1;
    case CPL_INQUIRE: {
        auto* info = reinterpret_cast<CPLINFO*>(param2);
        // The record comes from the caller; a missing one is a refusal, not a crash.
        if (info == nullptr)
            return 1;
        info->idIcon = IDI_APPLET_ENTRY;
        info->idName = IDS_APPLET_NAME;
        info->idInfo = IDS_APPLET_INFO;
        info->lData = 0;
        return 0;
    }
    case CPL_DBLCLK:
        return OpenDialog(window);
    case CPL_NEWINQUIRE:
        return 1;
    case CPL_STARTWPARMS:
        ShowError(window, "CPL_STARTWPARMS");
        return 0;
    case CPL_SETUP:
        ShowError(window, "CPL_SETUP");
        return 0;
    default:
        return 0;
    }
}
