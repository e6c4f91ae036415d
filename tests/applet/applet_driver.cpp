// Loads the built applet as the Control Panel would and drives it: the entry messages, then the
// dialog, opened by CPL_DBLCLK on a thread of its own and worked from the test's thread. The
// status block is published with the common code, as the service publishes it; the address is
// read and written in the real registry of the Wine prefix.
// Usage: applet_driver PATH\TO\DulvexCpl.cpl [gtest options]
#include <windows.h>
#include <commctrl.h>
#include <cpl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "addr_rule.h"
#include "config.h"
#include "ident.h"
#include "resource.h"

namespace {

const char* CplPath = nullptr;
HMODULE Cpl = nullptr;
APPLET_PROC Applet = nullptr;

constexpr int WINDOW_WAIT_MS = 5000;
// The state is looked at every 500 ms; this allows for a slow start of the timer under load.
constexpr int STATE_WAIT_MS = 2500;
constexpr int POLL_MS = 20;

const char NOT_RUNNING[] = "Service is not running.";

std::string RunningText(unsigned long pid, const char* addr)
{
    char text[260];
    snprintf(text, sizeof text, "Service is running with pid %lu. (IPAddr=%s)", pid, addr);
    return text;
}

std::string ItemText(HWND dialog, int id)
{
    char text[260] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

bool WaitForItemText(HWND dialog, int id, const std::string& want, int ms)
{
    for (int waited = 0; waited <= ms; waited += POLL_MS) {
        if (ItemText(dialog, id) == want)
            return true;
        Sleep(POLL_MS);
    }
    return false;
}

// ---- the registry value --------------------------------------------------------------------

struct StoredValue {
    LONG Result;
    DWORD Type;
    DWORD Size;
    unsigned char Data[64];
};

StoredValue ReadStored()
{
    StoredValue v{};
    v.Size = sizeof v.Data;
    HKEY key;
    v.Result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, 0, KEY_READ, &key);
    if (v.Result == ERROR_SUCCESS) {
        v.Result = RegQueryValueExA(key, CONFIG_VALUE_NAME, nullptr, &v.Type, v.Data, &v.Size);
        RegCloseKey(key);
    }
    return v;
}

void Store(const char* text)
{
    char data[CONFIG_ADDR_SIZE] = {};
    strncpy(data, text, sizeof data - 1);
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, CONFIG_VALUE_NAME, 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(data), sizeof data));
    RegCloseKey(key);
}

void Unstore()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, CONFIG_VALUE_NAME);
        RegCloseKey(key);
    }
}

void ExpectStored(const char* text, int line)
{
    SCOPED_TRACE(testing::Message() << "from line " << line);
    StoredValue v = ReadStored();
    ASSERT_EQ(ERROR_SUCCESS, v.Result);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), v.Type);
    ASSERT_EQ(CONFIG_ADDR_SIZE, v.Size);
    char want[CONFIG_ADDR_SIZE] = {};
    strncpy(want, text, sizeof want - 1);
    EXPECT_EQ(0, memcmp(want, v.Data, CONFIG_ADDR_SIZE))
        << "stored \"" << reinterpret_cast<const char*>(v.Data) << "\", want \"" << text
        << "\" zero-padded to 16 bytes";
}

// ---- the dialog ----------------------------------------------------------------------------

struct OpenDialog {
    HANDLE Thread = nullptr;
    HWND Dialog = nullptr;
    LONG Result = -7;
};

DWORD WINAPI DoubleClick(void* arg)
{
    auto* d = static_cast<OpenDialog*>(arg);
    d->Result = Applet(nullptr, CPL_DBLCLK, 0, 0);
    return 0;
}

// The dialog is shown once WM_INITDIALOG has returned, so a visible dialog has its first state
// text and address already.
HWND WaitForVisibleWindow(const char* caption)
{
    for (int waited = 0; waited <= WINDOW_WAIT_MS; waited += POLL_MS) {
        HWND w = FindWindowA("#32770", caption);
        if (w != nullptr && IsWindowVisible(w))
            return w;
        Sleep(POLL_MS);
    }
    return nullptr;
}

void Open(OpenDialog* d)
{
    d->Thread = CreateThread(nullptr, 0, DoubleClick, d, 0, nullptr);
    ASSERT_NE(nullptr, d->Thread);
    d->Dialog = WaitForVisibleWindow(APPLET_CAPTION);
    ASSERT_NE(nullptr, d->Dialog) << "the dialog did not appear";
}

// Ends the dialog and returns what CPL_DBLCLK returned.
LONG Finish(OpenDialog* d)
{
    if (d->Thread == nullptr)
        return -8;
    if (WaitForSingleObject(d->Thread, WINDOW_WAIT_MS) != WAIT_OBJECT_0)
        return -9;
    CloseHandle(d->Thread);
    d->Thread = nullptr;
    return d->Result;
}

void Click(HWND dialog, int id)
{
    SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void SetField(HWND dialog, BYTE a, BYTE b, BYTE c, BYTE d)
{
    SendDlgItemMessageA(dialog, IDC_ADDRESS, IPM_SETADDRESS, 0, MAKEIPADDRESS(a, b, c, d));
}

DWORD FieldAddress(HWND dialog)
{
    DWORD packed = 0;
    SendDlgItemMessageA(dialog, IDC_ADDRESS, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&packed));
    return packed;
}

class AppletDialog : public testing::Test {
protected:
    void SetUp() override
    {
        StoredValue v = ReadStored();
        HadValue = v.Result == ERROR_SUCCESS;
        Saved = v;
    }
    void TearDown() override
    {
        if (Dialog.Thread != nullptr) {
            if (Dialog.Dialog != nullptr)
                PostMessageA(Dialog.Dialog, WM_COMMAND, IDCANCEL, 0);
            Finish(&Dialog);
        }
        if (Ident != nullptr)
            CloseIdent(Ident);
        if (HadValue) {
            HKEY key;
            if (RegCreateKeyA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, &key) == ERROR_SUCCESS) {
                RegSetValueExA(key, CONFIG_VALUE_NAME, 0, Saved.Type, Saved.Data, Saved.Size);
                RegCloseKey(key);
            }
        } else {
            Unstore();
        }
    }
    OpenDialog Dialog;
    HANDLE Ident = nullptr;
    bool HadValue = false;
    StoredValue Saved{};
};

// ---- the entry -----------------------------------------------------------------------------

TEST(AppletEntry, AnswersTheControlPanelMessages)
{
    EXPECT_EQ(1, Applet(nullptr, CPL_INIT, 0, 0));
    EXPECT_EQ(1, Applet(nullptr, CPL_GETCOUNT, 0, 0));

    CPLINFO info;
    memset(&info, 0xCD, sizeof info);
    EXPECT_EQ(0, Applet(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)));
    EXPECT_EQ(IDI_APPLET_ENTRY, info.idIcon);
    EXPECT_EQ(IDS_APPLET_NAME, info.idName);
    EXPECT_EQ(IDS_APPLET_INFO, info.idInfo);
    EXPECT_EQ(0, info.lData);
    // Without a record to fill the inquiry is refused rather than written through null.
    EXPECT_EQ(1, Applet(nullptr, CPL_INQUIRE, 0, 0));

    EXPECT_EQ(1, Applet(nullptr, CPL_NEWINQUIRE, 0, 0));
    EXPECT_EQ(0, Applet(nullptr, CPL_SELECT, 0, 0));
    EXPECT_EQ(0, Applet(nullptr, CPL_STOP, 0, 0));
    EXPECT_EQ(0, Applet(nullptr, CPL_EXIT, 0, 0));
    EXPECT_EQ(0, Applet(nullptr, 0x4321, 7, 9));
}

TEST(AppletEntry, CarriesItsStringsIconsAndVersion)
{
    char text[100] = "";
    ASSERT_GT(LoadStringA(Cpl, IDS_APPLET_NAME, text, sizeof text), 0);
    EXPECT_STREQ("Dulvex Service", text);
    ASSERT_GT(LoadStringA(Cpl, IDS_APPLET_INFO, text, sizeof text), 0);
    EXPECT_STREQ("Varnok Payment Terminal Service Control", text);
    EXPECT_NE(nullptr, LoadIconA(Cpl, MAKEINTRESOURCEA(IDI_APPLET_ENTRY)));

    // Icon group 1006: 32, 16 and 48 pixels in that order, 16 colours each.
    HRSRC res = FindResourceA(Cpl, MAKEINTRESOURCEA(IDI_APPLET), MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
    ASSERT_NE(nullptr, res);
    const auto* group = static_cast<const BYTE*>(LockResource(LoadResource(Cpl, res)));
    ASSERT_NE(nullptr, group);
    ASSERT_EQ(3, group[4] | group[5] << 8);
    const int sizes[] = {32, 16, 48};
    for (int i = 0; i < 3; ++i) {
        const BYTE* entry = group + 6 + 14 * i;  // GRPICONDIRENTRY
        EXPECT_EQ(sizes[i], entry[0]);
        EXPECT_EQ(sizes[i], entry[1]);
        EXPECT_EQ(16, entry[2]) << "colour count";
        EXPECT_EQ(4, entry[6] | entry[7] << 8) << "bits per pixel";
    }

    res = FindResourceA(Cpl, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));  // RT_VERSION
    ASSERT_NE(nullptr, res);
    const auto* ver = static_cast<const BYTE*>(LockResource(LoadResource(Cpl, res)));
    DWORD size = SizeofResource(Cpl, res);
    const VS_FIXEDFILEINFO* fixed = nullptr;
    for (DWORD at = 0; at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4) {
        if (*reinterpret_cast<const DWORD*>(ver + at) == 0xFEEF04BD) {
            fixed = reinterpret_cast<const VS_FIXEDFILEINFO*>(ver + at);
            break;
        }
    }
    ASSERT_NE(nullptr, fixed);
    EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00000001u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00010000u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00000001u, fixed->dwProductVersionLS);
}

struct BoxCall {
    UINT Message;
    LONG Result;
};

DWORD WINAPI SendToApplet(void* arg)
{
    auto* call = static_cast<BoxCall*>(arg);
    call->Result = Applet(nullptr, call->Message, 0, 0);
    return 0;
}

BOOL CALLBACK CollectText(HWND child, LPARAM param)
{
    char text[260] = "";
    GetWindowTextA(child, text, sizeof text);
    static_cast<std::vector<std::string>*>(reinterpret_cast<void*>(param))->push_back(text);
    return TRUE;
}

TEST(AppletEntry, UnsupportedStartsShowAMessageBox)
{
    const struct {
        UINT Message;
        const char* Text;
    } cases[] = {{CPL_STARTWPARMS, "CPL_STARTWPARMS"}, {CPL_SETUP, "CPL_SETUP"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        BoxCall call{c.Message, -7};
        HANDLE thread = CreateThread(nullptr, 0, SendToApplet, &call, 0, nullptr);
        ASSERT_NE(nullptr, thread);
        HWND box = WaitForVisibleWindow(APPLET_BOX_CAPTION);
        ASSERT_NE(nullptr, box);
        std::vector<std::string> texts;
        EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&texts));
        bool found = false;
        for (const auto& t : texts)
            found = found || t == c.Text;
        EXPECT_TRUE(found) << "the box does not show the message's name";
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, WINDOW_WAIT_MS));
        CloseHandle(thread);
        EXPECT_EQ(0, call.Result);
    }
}

// ---- the state line ------------------------------------------------------------------------

TEST_F(AppletDialog, StateFollowsTheStatusBlock)
{
    ASSERT_EQ(0, ReadIdent(nullptr, nullptr)) << "a status block exists already";
    Open(&Dialog);
    EXPECT_EQ(NOT_RUNNING, ItemText(Dialog.Dialog, IDC_STATE_TEXT));

    char addr[CONFIG_ADDR_SIZE] = "127.0.0.9";
    Ident = CreateIdent(addr);
    ASSERT_NE(nullptr, Ident);
    const std::string running = RunningText(GetCurrentProcessId(), "127.0.0.9");
    EXPECT_TRUE(WaitForItemText(Dialog.Dialog, IDC_STATE_TEXT, running, STATE_WAIT_MS))
        << "shows \"" << ItemText(Dialog.Dialog, IDC_STATE_TEXT) << "\"";

    // The same pid with another address: the line is written only when the pid or the
    // running state changes, so it keeps the first address.
    char other[CONFIG_ADDR_SIZE] = "127.0.0.10";
    ASSERT_EQ(1, UpdateIdent(Ident, other));
    Sleep(1200);
    EXPECT_EQ(running, ItemText(Dialog.Dialog, IDC_STATE_TEXT));

    CloseIdent(Ident);
    Ident = nullptr;
    EXPECT_TRUE(WaitForItemText(Dialog.Dialog, IDC_STATE_TEXT, NOT_RUNNING, STATE_WAIT_MS))
        << "shows \"" << ItemText(Dialog.Dialog, IDC_STATE_TEXT) << "\"";

    PostMessageA(Dialog.Dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(0, Finish(&Dialog)) << "CPL_DBLCLK after Esc";
}

// The real DulvexSrv.exe in console mode (its path in DULVEX_SRV) publishes the block that the
// dialog follows: its own pid and the address it uses. The stored 0.0.0.0 breaks the address
// rule: the service runs on the fallback 127.0.0.1, and that is the address the dialog shows.
TEST_F(AppletDialog, StateFollowsTheRealService)
{
    const char* srv = getenv("DULVEX_SRV");
    if (srv == nullptr || *srv == '\0')
        GTEST_SKIP() << "DULVEX_SRV not set";
    ASSERT_EQ(0, ReadIdent(nullptr, nullptr)) << "a status block exists already";
    Store("0.0.0.0");
    Open(&Dialog);
    EXPECT_EQ(NOT_RUNNING, ItemText(Dialog.Dialog, IDC_STATE_TEXT));

    std::string command = std::string("\"") + srv + "\" -debug";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                               &si, &pi))
        << GetLastError();
    const std::string running = RunningText(pi.dwProcessId, "127.0.0.1");
    bool shown = WaitForItemText(Dialog.Dialog, IDC_STATE_TEXT, running, STATE_WAIT_MS + 5000);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_TRUE(shown) << "shows \"" << ItemText(Dialog.Dialog, IDC_STATE_TEXT) << "\""
                       << (code == STILL_ACTIVE ? "" : " (the service ended: are its UDP ports taken?)");
    // Nothing answers at 127.0.0.1: each start-up echo is given up after its retransmissions.
    const std::string silent = "Master: not answering\nMBCA: not answering\nMaint: not answering\n"
                               "Fleet: not answering\nPetro: not answering";
    EXPECT_TRUE(WaitForItemText(Dialog.Dialog, IDC_LINK_TEXT, silent, 10000))
        << "shows \"" << ItemText(Dialog.Dialog, IDC_LINK_TEXT) << "\"";

    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_TRUE(WaitForItemText(Dialog.Dialog, IDC_STATE_TEXT, NOT_RUNNING, STATE_WAIT_MS))
        << "shows \"" << ItemText(Dialog.Dialog, IDC_STATE_TEXT) << "\"";

    PostMessageA(Dialog.Dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(0, Finish(&Dialog));
}

TEST_F(AppletDialog, EachOpeningWritesTheStateAtOnce)
{
    ASSERT_EQ(0, ReadIdent(nullptr, nullptr));
    // Twice with the same state: the second opening finds the state unchanged since the last
    // text was written, and must still replace the template's placeholder.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Open(&Dialog);
        EXPECT_EQ(NOT_RUNNING, ItemText(Dialog.Dialog, IDC_STATE_TEXT));
        Click(Dialog.Dialog, IDOK);
        EXPECT_EQ(0, Finish(&Dialog));
    }
    char addr[CONFIG_ADDR_SIZE] = "127.0.0.3";
    Ident = CreateIdent(addr);
    ASSERT_NE(nullptr, Ident);
    const uint8_t links[IDENT_LINK_COUNT] = {1, 2, 0, 1, 3};
    ASSERT_EQ(1, UpdateIdentLinks(Ident, links));
    Open(&Dialog);
    EXPECT_EQ(RunningText(GetCurrentProcessId(), "127.0.0.3"), ItemText(Dialog.Dialog, IDC_STATE_TEXT));
    EXPECT_EQ("Master: answering\nMBCA: answering (retrying)\nMaint: no word yet\nFleet: answering\n"
              "Petro: not answering",
              ItemText(Dialog.Dialog, IDC_LINK_TEXT));
    Click(Dialog.Dialog, IDOK);
    EXPECT_EQ(0, Finish(&Dialog));
}

TEST_F(AppletDialog, BlockWithoutTerminatorIsShownWithinItsSixteenBytes)
{
    // Any process may create the block under its name and fill it with anything.
    HANDLE raw = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, IDENT_SIZE, IDENT_NAME);
    ASSERT_NE(nullptr, raw);
    auto* view = static_cast<BYTE*>(MapViewOfFile(raw, FILE_MAP_WRITE, 0, 0, IDENT_SIZE));
    ASSERT_NE(nullptr, view);
    const DWORD pid = 4242;
    memcpy(view, &pid, 4);
    memset(view + 4, 'A', CONFIG_ADDR_SIZE);
    UnmapViewOfFile(view);

    Open(&Dialog);
    std::string text = ItemText(Dialog.Dialog, IDC_STATE_TEXT);
    const std::string head = "Service is running with pid 4242. (IPAddr=AAAAAAAAAAAAAAA";
    EXPECT_EQ(head, text.substr(0, head.size())) << text;
    EXPECT_LE(text.size(), head.size() + 2) << text;
    EXPECT_EQ(')', text.back()) << text;
    EXPECT_EQ("", ItemText(Dialog.Dialog, IDC_LINK_TEXT)) << "a block of 20 bytes has no link states";
    Click(Dialog.Dialog, IDOK);
    EXPECT_EQ(0, Finish(&Dialog));
    CloseHandle(raw);
}

// ---- the address field ---------------------------------------------------------------------

TEST_F(AppletDialog, FieldShowsTheStoredAddressOrTheDefault)
{
    Store("10.20.30.40");
    Open(&Dialog);
    EXPECT_EQ(static_cast<DWORD>(MAKEIPADDRESS(10, 20, 30, 40)), FieldAddress(Dialog.Dialog));
    Click(Dialog.Dialog, IDOK);
    EXPECT_EQ(0, Finish(&Dialog));

    // A stored value that breaks the address rule is not shown: the field holds the default the
    // service uses in its place.
    for (const char* stored : {"", "0.0.0.0", "224.0.0.1"}) {
        SCOPED_TRACE(stored);
        if (stored[0] == '\0')
            Unstore();
        else
            Store(stored);
        Open(&Dialog);
        unsigned a, b, c, d;
    ASSERT_EQ(4, sscanf(CONFIG_DEFAULT_ADDR, "%u.%u.%u.%u", &a, &b, &c, &d));
        EXPECT_EQ(static_cast<DWORD>(MAKEIPADDRESS(a, b, c, d)), FieldAddress(Dialog.Dialog));
        Click(Dialog.Dialog, IDOK);
        EXPECT_EQ(0, Finish(&Dialog));
    }
}

TEST_F(AppletDialog, SaveWritesSixteenBytesAndKeepsTheDialogOpen)
{
    Store("10.0.0.1");
    Open(&Dialog);
    SetField(Dialog.Dialog, 192, 168, 100, 200);
    Click(Dialog.Dialog, IDC_SAVE);
    ExpectStored("192.168.100.200", __LINE__);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(Dialog.Thread, 0)) << "Save ended the dialog";
    EXPECT_TRUE(IsWindow(Dialog.Dialog));

    // A shorter address after a longer one: the bytes after its NUL are zeros, not the rest
    // of the earlier text.
    SetField(Dialog.Dialog, 10, 1, 2, 3);
    Click(Dialog.Dialog, IDC_SAVE);
    ExpectStored("10.1.2.3", __LINE__);

    Click(Dialog.Dialog, IDOK);
    EXPECT_EQ(0, Finish(&Dialog));
    ExpectStored("10.1.2.3", __LINE__);
}

TEST_F(AppletDialog, OkAloneDoesNotSave)
{
    Store("10.0.0.1");
    Open(&Dialog);
    SetField(Dialog.Dialog, 172, 16, 5, 6);
    Click(Dialog.Dialog, IDOK);
    EXPECT_EQ(0, Finish(&Dialog));
    ExpectStored("10.0.0.1", __LINE__);

    Open(&Dialog);
    SetField(Dialog.Dialog, 172, 16, 5, 7);
    PostMessageA(Dialog.Dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(0, Finish(&Dialog));
    ExpectStored("10.0.0.1", __LINE__);
}

// The field's own window procedure is replaced so that the test chooses the text the dialog
// reads from it.
WNDPROC FieldProc = nullptr;
const char* FieldText = "";

LRESULT CALLBACK FakeField(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_GETTEXT)
        return CallWindowProcA(FieldProc, w, message, wParam, lParam);
    auto* out = reinterpret_cast<char*>(lParam);
    size_t n = strlen(FieldText);
    if (wParam == 0)
        return 0;
    if (n > wParam - 1)
        n = wParam - 1;
    memcpy(out, FieldText, n);
    out[n] = '\0';
    return static_cast<LRESULT>(n);
}

std::string RuleMessage(const std::string& text, AddrRule rule)
{
    char message[ADDR_MESSAGE_SIZE];
    AddrRuleMessage(message, sizeof message, text.c_str(), rule);
    return rule == ADDR_USABLE ? std::string() : std::string(message);
}

// Every case of the table of addresses: the line under the field names the rule it breaks.
TEST_F(AppletDialog, FieldNamesTheRuleEachCaseBreaks)
{
    FILE* table = fopen(ADDR_TABLE_PATH, "rb");
    ASSERT_NE(nullptr, table) << ADDR_TABLE_PATH;
    Open(&Dialog);
    HWND field = GetDlgItem(Dialog.Dialog, IDC_ADDRESS);
    ASSERT_NE(nullptr, field);
    FieldProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FakeField)));
    ASSERT_NE(nullptr, FieldProc);
    char line[256];
    int cases = 0;
    while (fgets(line, sizeof line, table) != nullptr) {
        std::string row(line);
        while (!row.empty() && (row.back() == '\n' || row.back() == '\r'))
            row.pop_back();
        size_t tab = row.rfind('\t');
        if (row.empty() || row[0] == '#' || tab == std::string::npos)
            continue;
        std::string text = row.substr(0, tab);
        AddrRule want = AddrRuleFromName(row.substr(tab + 1).c_str());
        SCOPED_TRACE(row);
        FieldText = text.c_str();
        SendMessageA(Dialog.Dialog, WM_COMMAND, MAKEWPARAM(IDC_ADDRESS, EN_CHANGE), reinterpret_cast<LPARAM>(field));
        EXPECT_EQ(RuleMessage(text, want), ItemText(Dialog.Dialog, IDC_ADDRESS_RULE));
        ++cases;
    }
    fclose(table);
    EXPECT_GE(cases, 50);
    SetWindowLongPtrA(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FieldProc));
    Click(Dialog.Dialog, IDOK);
    EXPECT_EQ(0, Finish(&Dialog));
}

// Clicks Save and expects a box that says text, over a dialog that stays open.
void ExpectRefusedSave(HWND dialog, HANDLE thread, const std::string& text)
{
    // Posted: the box is modal within the dialog's handling of the command.
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_SAVE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_SAVE)));
    HWND box = WaitForVisibleWindow(APPLET_BOX_CAPTION);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(dialog, GetWindow(box, GW_OWNER));
    std::vector<std::string> texts;
    EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&texts));
    bool found = false;
    for (const auto& t : texts)
        found = found || t == text;
    EXPECT_TRUE(found) << "no \"" << text << "\" in the box";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    for (int waited = 0; IsWindow(box) && waited < WINDOW_WAIT_MS; waited += POLL_MS)
        Sleep(POLL_MS);
    EXPECT_FALSE(IsWindow(box));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0));
}

TEST_F(AppletDialog, RefusedSaveNamesTheRuleAndKeepsTheDialogOpen)
{
    Store("10.0.0.1");
    Open(&Dialog);
    HWND field = GetDlgItem(Dialog.Dialog, IDC_ADDRESS);
    FieldProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FakeField)));
    ASSERT_NE(nullptr, FieldProc);
    FieldText = "300.1.2.3";
    ExpectRefusedSave(Dialog.Dialog, Dialog.Thread,
                      "The terminal address \"300.1.2.3\" has a number above 255. Nothing was saved.");
    ExpectStored("10.0.0.1", __LINE__);
    SetWindowLongPtrA(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FieldProc));

    // A cleared field is no address, and the service could not use 0.0.0.0 either.
    SendMessageA(field, IPM_CLEARADDRESS, 0, 0);
    ExpectRefusedSave(Dialog.Dialog, Dialog.Thread, "The terminal address \"\" is empty. Nothing was saved.");
    ExpectStored("10.0.0.1", __LINE__);
    SetField(Dialog.Dialog, 0, 0, 0, 0);
    ExpectRefusedSave(Dialog.Dialog, Dialog.Thread,
                      "The terminal address \"0.0.0.0\" is 0.0.0.0, which names no host. Nothing was saved.");
    SetField(Dialog.Dialog, 239, 1, 2, 3);
    ExpectRefusedSave(Dialog.Dialog, Dialog.Thread,
                      "The terminal address \"239.1.2.3\" is 224.0.0.0 or above (multicast or broadcast), not one "
                      "host. Nothing was saved.");
    ExpectStored("10.0.0.1", __LINE__);
    Click(Dialog.Dialog, IDOK);
    EXPECT_EQ(0, Finish(&Dialog));
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: applet_driver PATH\\TO\\DulvexCpl.cpl [gtest options]\n");
        return 2;
    }
    CplPath = argv[1];
    Cpl = LoadLibraryA(CplPath);
    if (Cpl == nullptr) {
        fprintf(stderr, "applet_driver: LoadLibrary %s failed: %lu\n", CplPath, GetLastError());
        return 1;
    }
    Applet = reinterpret_cast<APPLET_PROC>(reinterpret_cast<void*>(GetProcAddress(Cpl, "CPlApplet")));
    if (Applet == nullptr || GetProcAddress(Cpl, "DllMain") == nullptr) {
        fprintf(stderr, "applet_driver: CPlApplet or DllMain not exported\n");
        return 1;
    }
    int result = RUN_ALL_TESTS();
    FreeLibrary(Cpl);
    return result;
}
