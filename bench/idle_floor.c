/* The idle floor under Wine: one thread that waits on eight events (as many handles as the
 * service's loop) with a 100 ms time-out, forever, and does nothing on waking. Its CPU time is
 * what a process pays under Wine for the service's 100 ms pipe check alone. Runs until killed. */
#include <windows.h>
#include <stdio.h>

#define HANDLES 8
#define TICK_MS 100

int main(void)
{
    HANDLE events[HANDLES];
    int i;
    for (i = 0; i < HANDLES; ++i) {
        events[i] = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (events[i] == NULL) {
            fprintf(stderr, "idle_floor: CreateEvent error %lu\n", GetLastError());
            return 1;
        }
    }
    printf("ready\n");
    fflush(stdout);
    for (;;)
        WaitForMultipleObjects(HANDLES, events, FALSE, TICK_MS);
}
