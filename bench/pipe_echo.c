/* The floor without the bridge: a message-mode pipe server that answers each client message at
 * once, as the applications would, with one response per bit of its mask (command | 0x8000,
 * status 0, the same data). One client at a time; runs until killed. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv)
{
    const char* name = argc > 1 ? argv[1] : "\\\\.\\pipe\\varnok\\DulvexBenchEcho";
    static unsigned char in[2048], out[2048];
    for (;;) {
        HANDLE h = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                    8192, 8192, 0, NULL);
        if (h == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "pipe_echo: CreateNamedPipe error %lu\n", GetLastError());
            return 1;
        }
        printf("ready\n");
        fflush(stdout);
        if (ConnectNamedPipe(h, NULL) || GetLastError() == ERROR_PIPE_CONNECTED) {
            DWORD n, w;
            while (ReadFile(h, in, sizeof in, &n, NULL) && n >= 3) {
                int i;
                DWORD len = n - 3;
                for (i = 0; i < 5; ++i) {
                    if (!(in[0] & (1u << i)))
                        continue;
                    out[0] = (unsigned char)(1u << i);
                    out[1] = (unsigned char)(in[1] | 0x80);
                    out[2] = in[2];
                    out[3] = 0;
                    out[4] = 0;
                    memcpy(out + 5, in + 3, len);
                    if (!WriteFile(h, out, 5 + len, &w, NULL))
                        break;
                }
            }
        }
        DisconnectNamedPipe(h);
        CloseHandle(h);
    }
}
