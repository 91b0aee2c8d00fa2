/*
 * host.c - a minimal host of the Kvarn_Rcvr library: open one channel, poll
 * it, print every event, close it.
 *
 *   host [PORT [RECEIVER [MAX_EVENTS [SECONDS]]]]
 *
 * PORT (default 1) opens "Com<PORT>": on Windows the COM port, on POSIX the
 * file Com<PORT> in the current directory (ln -s /dev/ttyUSB0 Com1).
 * RECEIVER (default 1) selects section [RecNr<RECEIVER>] of ./Rn.ini.
 * It stops after MAX_EVENTS events or SECONDS seconds (0: no limit) or on
 * Ctrl-C, and always closes the channel before it exits.
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200112L
#endif

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "kvarn_rcvr.h"

static volatile sig_atomic_t stop_requested = 0;

static void on_signal(int sig)
{
    (void)sig;
    stop_requested = 1;
}

/*
 * Waits about 50 ms between polls. On Windows this thread opened the channel,
 * so it owns the library's hidden message window: it must keep delivering
 * window messages, or no event is ever handed over.
 */
static void idle(void)
{
#ifdef _WIN32
    MSG msg;
    MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
#else
    struct timespec pause;
    pause.tv_sec = 0;
    pause.tv_nsec = 50L * 1000L * 1000L;
    nanosleep(&pause, NULL);
#endif
}

static void print_event(const TlfMsg *m)
{
    char when[32];
    if (m->Stamp.wYear == TLF_NO_TIME)
        sprintf(when, "-");
    else
        sprintf(when, "%02u:%02u:%02u %02u/%02u", m->Stamp.wHour, m->Stamp.wMinute,
                m->Stamp.wSecond, m->Stamp.wDay, m->Stamp.wMonth);
    /* Short strings: a length byte, then that many characters. */
    printf("rcv %d line %u acct %X area [%.*s] event [%.*s] time %s\n", m->RecNo,
           (unsigned)m->LineNo, (unsigned)m->Account, (int)m->Area[0], (const char *)&m->Area[1],
           (int)m->EvZone[0], (const char *)&m->EvZone[1], when);
    fflush(stdout);
}

int main(int argc, char **argv)
{
    int port = argc > 1 ? atoi(argv[1]) : 1;
    int receiver = argc > 2 ? atoi(argv[2]) : 1;
    long max_events = argc > 3 ? atol(argv[3]) : 0;
    long seconds = argc > 4 ? atol(argv[4]) : 0;
    int id1 = 0, id2 = 0, id3 = 0;
    const char *name = Tlf_GetNameN4(&id1, &id2, &id3);
    TlfChannel channel;
    TlfMsg msg;
    long taken = 0;
    time_t end = time(NULL) + seconds;

    printf("driver %s %d/%d/%d\n", name, id1, id2, id3);
    channel = tlf_InitComm(port, receiver);
    if (channel == NULL) {
        fprintf(stderr, "cannot open Com%d\n", port);
        return 1;
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    while (!stop_requested && (max_events == 0 || taken < max_events) &&
           (seconds == 0 || time(NULL) < end)) {
        while (tlf_GetMsg(channel, &msg) == 1) { /* one event per call */
            print_event(&msg);
            ++taken;
        }
        idle();
    }

    tlf_CloseComm(channel); /* the channel is released: never use it again */
    printf("events %ld\n", taken);
    return 0;
}
