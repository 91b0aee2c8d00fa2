/*
 * kvarn_rcvr.h - the host interface of the Kvarn_Rcvr alarm-receiver library.
 *
 * C89 compatible; usable from C and C++. On 32-bit Windows the functions use
 * the stdcall convention (the callee removes the arguments); elsewhere the
 * platform's default C convention.
 */
#ifndef KVARN_RCVR_H
#define KVARN_RCVR_H

#if defined(_WIN32) && !defined(_WIN64)
#define TLF_CALL __stdcall
#else
#define TLF_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The receiver time of an event; the same layout as the Win32 SYSTEMTIME.
 * wYear == 0xFFFF (TLF_NO_TIME) means the event carries no time and the other
 * seven members are not significant. */
typedef struct TlfSystemTime {
    unsigned short wYear;
    unsigned short wMonth;
    unsigned short wDayOfWeek;
    unsigned short wDay;
    unsigned short wHour;
    unsigned short wMinute;
    unsigned short wSecond;
    unsigned short wMilliseconds;
} TlfSystemTime;

#define TLF_NO_TIME 0xFFFFu

/* Capacities of the short-string fields (length byte + that many chars). */
#define TLF_AREA_CAP 3
#define TLF_EVZONE_CAP 8

/*
 * TlfMsg - one decoded event, 48 bytes, the same layout on every platform.
 *
 * Short strings: byte 0 is the length (0..capacity), the characters follow as
 * received from the line, without a terminator. Characters past the length are
 * not significant; tlf_GetMsg writes only the length and the counted
 * characters and leaves the rest of the array as it was.
 *
 *   offset size field
 *        0    4 RecNo      receiver number from the frame
 *        4    2 LineNo     receiver line (one hex digit, 0..15)
 *        6    2 (gap)      never written by the library
 *        8    4 Account    account number (the frame's hex digits)
 *       12    4 Area       short string, capacity 3
 *       16    9 EvZone     short string, capacity 8 (event code and zone)
 *       25    1 (gap)      never written by the library
 *       26   16 Stamp      receiver time, wYear 0xFFFF = no time
 *       42    2 (gap)      never written by the library
 *       44    4 Extra      owned by the host; the library never reads or
 *                          writes it (on 32-bit Windows hosts keep a string
 *                          reference here)
 */
typedef struct TlfMsg {
    int RecNo;
    unsigned short LineNo;
    unsigned char Gap6[2];
    int Account;
    unsigned char Area[1 + TLF_AREA_CAP];
    unsigned char EvZone[1 + TLF_EVZONE_CAP];
    unsigned char Gap25;
    TlfSystemTime Stamp;
    unsigned char Gap42[2];
    unsigned int Extra;
} TlfMsg;

/* Compile-time layout checks that work in C89 and C++. */
typedef char TlfMsg_size_is_48[(sizeof(TlfMsg) == 48) ? 1 : -1];
typedef char TlfSystemTime_size_is_16[(sizeof(TlfSystemTime) == 16) ? 1 : -1];

/* An open channel; opaque to the host. */
typedef struct TlfChannel_ *TlfChannel;

/*
 * Opens serial port `port` for the receiver whose settings are in section
 * "RecNr<receiver>" of ".\Rn.ini" (in the current directory) and starts the
 * channel's reader thread. Windows opens the device "Com<port>"; POSIX opens
 * the file "Com<port>" in the current directory (link it to the device, for
 * example `ln -s /dev/ttyUSB0 Com1`). Returns NULL when the port cannot be
 * opened (port <= 0, no such device, already open).
 */
TlfChannel TLF_CALL tlf_InitComm(int port, int receiver);

/*
 * Stops the channel's reader thread, waits until it has ended and releases
 * the channel. When the reader is waiting for the host to take an event this
 * takes up to 7 seconds. The channel must not be used again afterwards. The
 * result carries no meaning.
 */
int TLF_CALL tlf_CloseComm(TlfChannel channel);

/*
 * Delivers at most one event into *msg. Returns 1 when an event was written,
 * 0 when nothing was waiting (then *msg is untouched). Only the fields that
 * carry the event are written: never Extra nor the gap bytes.
 */
int TLF_CALL tlf_GetMsg(TlfChannel channel, TlfMsg *msg);

/*
 * Interprets one receiver status line (a length byte followed by the text)
 * into the host's status bits and 14 per-line marks; stores 16 in *info. The
 * result carries no meaning.
 */
int TLF_CALL tlf_GetSysMsg(int reserved, const unsigned char *statusLine,
                           unsigned int *statusBits, unsigned char *lineMarks,
                           int *info);

/*
 * Returns the driver's name "Kvarn_Rcvr" (constant; do not modify or free)
 * and stores 65519, 16 and 3 into the non-null id pointers.
 */
const char *TLF_CALL Tlf_GetNameN4(int *id1, int *id2, int *id3);

#ifdef __cplusplus
}
#endif

#endif /* KVARN_RCVR_H */
