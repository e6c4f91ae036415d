#include "console_keys.h"

#include <windows.h>

namespace {

HANDLE ConsoleInput()
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    // A redirected or absent standard input has no console mode; reading it would block or spin.
    if (in == nullptr || in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode))
        return nullptr;
    return in;
}

} // namespace

int ConsoleReadKey()
{
    HANDLE in = ConsoleInput();
    if (in == nullptr)
        return 0;
    for (;;) {
        // A wait, not an event count: Wine's console takes in typed keys only when asked to
        // wait for them (a count stays 0), and the wait behaves the same on Windows.
        if (WaitForSingleObject(in, 0) != WAIT_OBJECT_0)
            return 0;
        INPUT_RECORD record;
        DWORD read = 0;
        if (!ReadConsoleInputA(in, &record, 1, &read) || read == 0)
            return 0;
        if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown)
            continue;
        int key = FoldConsoleKey(record.Event.KeyEvent.wVirtualKeyCode,
                                 record.Event.KeyEvent.uChar.AsciiChar);
        if (key != 0)
            return key;
    }
}

void ConsoleClear()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(out, &info))
        return;
    COORD origin = {0, 0};
    DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
    DWORD written = 0;
    FillConsoleOutputCharacterA(out, ' ', cells, origin, &written);
    SetConsoleCursorPosition(out, origin);
}

void ConsoleWaitChar()
{
    HANDLE in = ConsoleInput();
    if (in == nullptr)
        return;
    for (;;) {
        if (WaitForSingleObject(in, INFINITE) != WAIT_OBJECT_0)
            return;
        INPUT_RECORD record;
        DWORD read = 0;
        if (!ReadConsoleInputA(in, &record, 1, &read))
            return;
        if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
            FoldConsoleKey(record.Event.KeyEvent.wVirtualKeyCode,
                           record.Event.KeyEvent.uChar.AsciiChar) != 0)
            return;
    }
}
