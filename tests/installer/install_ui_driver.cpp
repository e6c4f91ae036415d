// Drives the interactive installer as a technician would: Next on the welcome page, a wrong
// terminal address (which must be refused with a message and keep the page), then a good one,
// Next through the folder page, Install, and Finish.
//
//   install_ui_driver BAD_ADDR GOOD_ADDR
//
// Prints each step and the refusal text; exit code 0 when every step was seen, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const char SETUP_TITLE[] = "Dulvex Bridge Setup";
constexpr int ID_NEXT = 1;
constexpr DWORD STEP_WAIT_MS = 20000;
constexpr DWORD INSTALL_WAIT_MS = 90000;
constexpr DWORD POLL_MS = 100;

HWND WaitWindow(const char* title, HWND except, DWORD waitMs)
{
    for (DWORD waited = 0; waited < waitMs; waited += POLL_MS) {
        HWND w = FindWindowA("#32770", title);
        while (w != nullptr && w == except)
            w = FindWindowExA(nullptr, w, "#32770", title);
        if (w != nullptr && IsWindowVisible(w))
            return w;
        Sleep(POLL_MS);
    }
    return nullptr;
}

struct Search {
    const char* Class;
    const char* Text; // part of the window text; null for any
    HWND Found;
};

BOOL CALLBACK FindChild(HWND w, LPARAM param)
{
    Search* s = reinterpret_cast<Search*>(param);
    char cls[64];
    char text[512];
    GetClassNameA(w, cls, sizeof cls);
    // GetWindowText gives only the stored caption of another process's window, not what an
    // edit field holds: the control itself is asked.
    DWORD_PTR length = 0;
    text[0] = '\0';
    if (!SendMessageTimeoutA(w, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                             &length))
        text[0] = '\0';
    if (_stricmp(cls, s->Class) == 0 && IsWindowVisible(w) && (s->Text == nullptr || strstr(text, s->Text) != nullptr)) {
        s->Found = w;
        return FALSE;
    }
    return TRUE;
}

HWND Child(HWND parent, const char* cls, const char* text)
{
    Search s{cls, text, nullptr};
    EnumChildWindows(parent, FindChild, reinterpret_cast<LPARAM>(&s));
    return s.Found;
}

// Waits until a visible child of that class (and text) shows, as the pages change.
HWND WaitChild(HWND parent, const char* cls, const char* text, DWORD waitMs)
{
    for (DWORD waited = 0; waited < waitMs; waited += POLL_MS) {
        HWND w = Child(parent, cls, text);
        if (w != nullptr)
            return w;
        Sleep(POLL_MS);
    }
    return nullptr;
}

void ClickNext(HWND setup)
{
    HWND next = GetDlgItem(setup, ID_NEXT);
    // Asynchronous: a message box opened by the page's check would block a sent message.
    PostMessageA(setup, WM_COMMAND, MAKEWPARAM(ID_NEXT, BN_CLICKED), reinterpret_cast<LPARAM>(next));
}

bool Step(bool ok, const char* what)
{
    printf("%s %s\n", ok ? "ok" : "FAILED", what);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 3) {
        fprintf(stderr, "usage: install_ui_driver BAD_ADDR GOOD_ADDR\n");
        return 2;
    }
    HWND setup = WaitWindow(SETUP_TITLE, nullptr, STEP_WAIT_MS);
    if (!Step(setup != nullptr, "installer window"))
        return 1;
    if (!Step(WaitChild(setup, "Button", "Next", STEP_WAIT_MS) != nullptr, "welcome page"))
        return 1;
    ClickNext(setup);

    HWND field = WaitChild(setup, "Edit", nullptr, STEP_WAIT_MS);
    if (!Step(field != nullptr && Child(setup, "Static", "IPv4 address") != nullptr, "address page"))
        return 1;
    SetWindowTextA(field, argv[1]);
    ClickNext(setup);
    HWND box = WaitWindow(SETUP_TITLE, setup, STEP_WAIT_MS);
    HWND text = box ? Child(box, "Static", argv[1]) : nullptr;
    char message[512] = "";
    if (text != nullptr)
        SendMessageTimeoutA(text, WM_GETTEXT, sizeof message, reinterpret_cast<LPARAM>(message), SMTO_ABORTIFHUNG,
                            2000, nullptr);
    printf("refusal: %s\n", message);
    if (!Step(text != nullptr, "wrong address refused with a message"))
        return 1;
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    for (DWORD waited = 0; IsWindow(box) && waited < STEP_WAIT_MS; waited += POLL_MS)
        Sleep(POLL_MS);
    if (!Step(!IsWindow(box) && WaitChild(setup, "Edit", argv[1], STEP_WAIT_MS) != nullptr,
              "address page kept after the refusal"))
        return 1;

    SetWindowTextA(field, argv[2]);
    ClickNext(setup);
    if (!Step(WaitChild(setup, "Button", "Install", STEP_WAIT_MS) != nullptr, "folder page"))
        return 1;
    ClickNext(setup);
    if (!Step(WaitChild(setup, "Button", "Finish", INSTALL_WAIT_MS) != nullptr, "finish page"))
        return 1;
    ClickNext(setup);
    for (DWORD waited = 0; IsWindow(setup) && waited < STEP_WAIT_MS; waited += POLL_MS)
        Sleep(POLL_MS);
    return Step(!IsWindow(setup), "installer closed") ? 0 : 1;
}
