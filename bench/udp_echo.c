/* Native UDP echo peer for the network floor: binds ADDR:PORT (the terminal's side of the
 * namespace) and sends every datagram back to where it came from, until SIGINT or SIGTERM. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static volatile sig_atomic_t Stop;
static void OnSignal(int sig) { (void)sig; Stop = 1; }

int main(int argc, char** argv)
{
    const char* addr = argc > 1 ? argv[1] : "198.18.0.2";
    int port = argc > 2 ? atoi(argv[2]) : 33340;
    struct sockaddr_in me, from;
    socklen_t fl;
    char buf[2048];
    struct sigaction sa;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;  /* no SA_RESTART: the blocking receive returns on a signal */
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    memset(&me, 0, sizeof me);
    me.sin_family = AF_INET;
    me.sin_port = htons((unsigned short)port);
    if (inet_pton(AF_INET, addr, &me.sin_addr) != 1 || s < 0 || bind(s, (struct sockaddr*)&me, sizeof me) != 0) {
        perror("udp_echo: bind");
        return 1;
    }
    printf("ready %s:%d\n", addr, port);
    fflush(stdout);
    while (!Stop) {
        ssize_t n;
        fl = sizeof from;
        n = recvfrom(s, buf, sizeof buf, 0, (struct sockaddr*)&from, &fl);
        if (n >= 0)
            sendto(s, buf, (size_t)n, 0, (struct sockaddr*)&from, fl);
    }
    close(s);
    return 0;
}
