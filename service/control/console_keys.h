// Single keys for the bridge's console debug loop, read from the console's input records (the
// runtime's key test never sees keys under Wine, and a lone Escape carries no character).
// Every call is safe when standard input is not a console: it then does nothing.
#pragma once

// Escape, as the bridge's loop sees it.
constexpr int KEY_ESCAPE = 0x1B;

// The next key typed, letters folded to upper case, KEY_ESCAPE for Escape; 0 when no key waits.
// Never blocks; key releases and keys without a character are consumed and skipped.
int ConsoleReadKey();

// Blanks the whole screen buffer of standard output and puts the cursor at the top left;
// failures are silent.
void ConsoleClear();

// Waits for one character on standard input; returns at once when standard input is not a
// console.
void ConsoleWaitChar();

// Plain mapping of one key-down record: the virtual key and the character it carries.
int FoldConsoleKey(unsigned short virtualKey, char ch);
