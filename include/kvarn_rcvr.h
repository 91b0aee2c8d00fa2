/*
 * kvarn_rcvr.h - the host interface of the Kvarn_Rcvr alarm-receiver library.
 *
 * Version 1.1.0.0. C89 compatible; usable from C and C++.
 *
 * The library reads event frames from an alarm receiver on a serial port,
 * writes each to a traffic log, decodes it into a TlfMsg record and hands it
 * to the host. The receiver is acknowledged (ACK, 0x06) for a frame only once
 * the host has taken that frame's event with tlf_GetMsg; an event the host
 * does not take within 7000 ms is withdrawn and its frame left
 * unacknowledged; most receivers send it again.
 *
 * Builds:
 *   Windows  Kvarn_Rcvr.dll, 32-bit x86 only. Five exports by undecorated
 *            name and ordinal: 1 Tlf_GetNameN4, 2 tlf_GetSysMsg, 3 tlf_GetMsg,
 *            4 tlf_CloseComm, 5 tlf_InitComm. Calling convention stdcall:
 *            arguments pushed right to left, each 32 bits, removed by the
 *            callee (12, 20, 8, 4 and 8 bytes).
 *   POSIX    libKvarn_Rcvr.so with the same functions in the platform's
 *            default C calling convention.
 *
 * THREADING RULES (read these before writing a host)
 *
 *  1. Poll. Events are not pushed to the host: call tlf_GetMsg repeatedly
 *     (for example every 50 to 200 ms) for every open channel. A call returns
 *     at once. Each call delivers at most one event; call again while it
 *     returns 1. An event must be taken within 7000 ms of being handed over,
 *     else it is withdrawn and its frame left unacknowledged (most
 *     receivers send it again later).
 *
 *  2. Windows: pump messages on the opening thread. The thread that opens
 *     the first channel (while no other channel is open) owns a hidden
 *     message window, and every channel hands its events over through that
 *     window. That thread must keep retrieving window messages for as long
 *     as any channel is open: a message loop (GetMessage/DispatchMessage),
 *     or any call that delivers messages sent to the thread (PeekMessage,
 *     MsgWaitForMultipleObjects followed by PeekMessage, a modal dialog).
 *     A thread that only sleeps, or blocks in WaitForSingleObject, never
 *     lets an event through: tlf_GetMsg keeps returning 0, nothing is
 *     acknowledged, and the receiver resends. Console hosts: see the example
 *     examples/c/host.c, which peeks messages in its poll loop. On POSIX
 *     there is no window and no such rule.
 *
 *  3. Any thread may call tlf_GetMsg and tlf_CloseComm. A channel's
 *     functions may be called from several threads; each call is safe
 *     against the channel's own reader thread. tlf_GetSysMsg and
 *     Tlf_GetNameN4 touch no channel and may be called at any time, from any
 *     thread, also before any channel is open. On Windows tlf_CloseComm
 *     serves sent window messages while it waits, on whichever thread calls
 *     it, so closing from the message-window thread cannot deadlock.
 *
 *  4. Never use a channel after tlf_CloseComm. Closing releases the channel;
 *     its handle is then invalid, exactly like freed memory. Do not close a
 *     channel twice and do not call tlf_GetMsg on a closed one; do not
 *     close a channel while another thread is still inside tlf_GetMsg on it.
 *
 *  5. Close every channel before unloading the library (FreeLibrary,
 *     dlclose) or ending the thread that owns the message window: the library
 *     runs nothing at unload, so a channel still open then leaves a reader
 *     thread running in unmapped code.
 *
 * FILES, all relative to the process's current directory:
 *   Rn.ini         port settings, section [RecNr<receiver>], keys Baud,
 *                  DataBit, Parity, StopBit, FlowCtrl. Read when a channel
 *                  opens; never written. Defaults: 300 baud, 7 data bits,
 *                  no parity, 1 stop bit, no flow control.
 *   Tlflog/        traffic log directory; the library never creates it.
 *                  Without it nothing is logged.
 *   Com<port>      (POSIX only) a link to the serial device, for example
 *                  ln -s /dev/ttyUSB0 Com1.
 */
#ifndef KVARN_RCVR_H
#define KVARN_RCVR_H

#include <stddef.h>

/* Calling convention of the five functions: stdcall on 32-bit Windows, the
 * default C convention elsewhere. Use it in function-pointer types when the
 * library is loaded at run time:
 *     typedef int (TLF_CALL *TlfGetMsgFn)(TlfChannel, TlfMsg *);        */
#if defined(_WIN32) && !defined(_WIN64)
#define TLF_CALL __stdcall
#else
#define TLF_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The receiver time of an event; the same layout as the Win32 SYSTEMTIME
 * (eight unsigned 16-bit members, 16 bytes).
 *
 * wYear == 0xFFFF (TLF_NO_TIME) means the event carries no time and the other
 * seven members are not significant. Only frames that carry the receiver's
 * own time give a time; then hour, minute, second, day and month come from
 * the frame, while the year, the day of week and the milliseconds come from
 * the PC's clock in UTC at the moment of decoding (the frame has no year; the
 * day of week is not recomputed for the received date). */
typedef struct TlfSystemTime {
    unsigned short wYear;         /* +0  year, or 0xFFFF: no time         */
    unsigned short wMonth;        /* +2  1..12                            */
    unsigned short wDayOfWeek;    /* +4  PC clock's, 0 = Sunday           */
    unsigned short wDay;          /* +6  1..31                            */
    unsigned short wHour;         /* +8  0..23                            */
    unsigned short wMinute;       /* +10 0..59                            */
    unsigned short wSecond;       /* +12 0..59                            */
    unsigned short wMilliseconds; /* +14 PC clock's                       */
} TlfSystemTime;

#define TLF_NO_TIME 0xFFFFu

/* Capacities of the short-string fields (length byte + that many chars). */
#define TLF_AREA_CAP 3
#define TLF_EVZONE_CAP 8

/*
 * TlfMsg - one decoded event, 48 bytes, the same layout on every platform
 * (little-endian, each field at its natural alignment).
 *
 * Short strings (Area, EvZone): byte 0 is the length (0..capacity), the
 * characters follow as received from the line (8-bit, no translation),
 * without a terminator. Characters past the length are not significant:
 * tlf_GetMsg writes only the length byte and the counted characters and
 * leaves the rest of the array as it was. To print one in C:
 *     printf("%.*s", m.EvZone[0], (const char *)&m.EvZone[1]);
 *
 *   offset size field
 *        0    4 RecNo      receiver number, the two digits after the frame's
 *                          type character (decimal)
 *        4    2 LineNo     receiver line, one hexadecimal digit of the frame
 *                          (0..15)
 *        6    2 (gap)      never written by the library
 *        8    4 Account    account number: the value of the frame's
 *                          hexadecimal account digits (account "1234" gives
 *                          0x1234; print it with %X)
 *       12    4 Area       short string, capacity 3: the area/partition as
 *                          the frame gives it, right-aligned in spaces
 *                          (" 01", "  1", "   "); for a frame of an unknown
 *                          type it is empty; for a bracketed frame without
 *                          event blocks it is ".." (2 chars)
 *       16    9 EvZone     short string, capacity 8: event code and zone as
 *                          the frame gives them, placed in spaces
 *                          ("E130 001", "  BA  03"); empty for a frame of
 *                          an unknown type; "......." (7 chars) for a
 *                          bracketed frame without event blocks
 *       25    1 (gap)      never written by the library
 *       26   16 Stamp      receiver time, wYear 0xFFFF = no time
 *       42    2 (gap)      never written by the library
 *       44    4 Extra      owned by the host; the library never reads or
 *                          writes it (on 32-bit Windows hosts keep a string
 *                          reference here)
 *
 * The further blocks of a bracketed frame are delivered with Area, EvZone,
 * LineNo and Account of their own frame; RecNo and Stamp are not written for
 * them: they keep whatever the host's record held. That is the frame's first
 * event only while no other frame came in between. The receiver is
 * acknowledged once the first event is taken and may send its next frame
 * while blocks still wait; that frame's event is delivered first, and the
 * blocks after it then show ITS receiver number and time. Two frames, one
 * record reused for every call:
 *     frame 1 "S0111[#1234|Nri12/BA03/BR04]"  (receiver 1, no time)
 *     call 1  BA 03: RecNo 1, LineNo 1, Account 0x1234, no time; ACK
 *     frame 2 "5032 12:34:56 07/08 xxxx"      (receiver 3, line 2, a time)
 *     call 2  frame 2: RecNo 3, LineNo 2, Stamp 12:34:56 on 7 August; ACK
 *     call 3  BR 04: LineNo 1, Account 0x1234 (frame 1's), but RecNo 3 and
 *             Stamp 12:34:56 on 7 August (frame 2's, left in the record)
 * To tell a block from an event, set RecNo to -1 before each call: a block
 * leaves it -1. A block's own receiver and time are those of the first event
 * of its frame (the earlier event with the same LineNo and Account), which
 * the host has to keep for it.
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

/* Compile-time layout checks that work in C89 and C++: a negative array size
 * stops the build when a compiler lays the record out differently (for
 * example under a #pragma pack in force where the header is included). */
typedef char TlfMsg_size_is_48[(sizeof(TlfMsg) == 48) ? 1 : -1];
typedef char TlfSystemTime_size_is_16[(sizeof(TlfSystemTime) == 16) ? 1 : -1];
typedef char TlfMsg_LineNo_at_4[(offsetof(TlfMsg, LineNo) == 4) ? 1 : -1];
typedef char TlfMsg_Account_at_8[(offsetof(TlfMsg, Account) == 8) ? 1 : -1];
typedef char TlfMsg_Area_at_12[(offsetof(TlfMsg, Area) == 12) ? 1 : -1];
typedef char TlfMsg_EvZone_at_16[(offsetof(TlfMsg, EvZone) == 16) ? 1 : -1];
typedef char TlfMsg_Stamp_at_26[(offsetof(TlfMsg, Stamp) == 26) ? 1 : -1];
typedef char TlfMsg_Extra_at_44[(offsetof(TlfMsg, Extra) == 44) ? 1 : -1];

/* An open channel; opaque to the host. Valid from a successful tlf_InitComm
 * until tlf_CloseComm. */
typedef struct TlfChannel_ *TlfChannel;

/*
 * tlf_InitComm - open a channel.
 *
 *   port      serial port number, 1 or more. Windows opens the device
 *             "Com<port>" (ports 10 and up as "\\.\Com<port>", the only
 *             name under which Windows opens them); POSIX opens the file
 *             "Com<port>" in the current
 *             directory, normally a link to the device
 *             (ln -s /dev/ttyUSB0 Com1). There is no fallback to /dev/tty*.
 *   receiver  selects the settings section "RecNr<receiver>" of the file
 *             Rn.ini in the current directory (receiver 1 reads [RecNr1]);
 *             a missing file, section or key gives that key's default.
 *
 * Opens the port without sharing, applies the settings and starts the
 * channel's reader thread. Returns the channel, or NULL when the port cannot
 * be opened (port <= 0, no such device or link, device already open by this
 * or another process, no permission). Nothing else is reported: settings a
 * device refuses leave it with what it kept, and the channel still opens.
 * On Windows the calling thread may become the message-window thread (see
 * THREADING RULES, 2).
 */
TlfChannel TLF_CALL tlf_InitComm(int port, int receiver);

/*
 * tlf_CloseComm - stop and release a channel.
 *
 *   channel   a channel returned non-null by tlf_InitComm, not yet closed.
 *
 * Works at any moment after a successful open, also right after it. Stops
 * the channel's reader thread, waits until it has ended, closes the port and
 * releases the channel. When the reader is waiting for the host to take an
 * event this takes up to 7 seconds; otherwise it returns promptly. The
 * channel must not be used again afterwards (THREADING RULES, 4). The result
 * carries no meaning.
 */
int TLF_CALL tlf_CloseComm(TlfChannel channel);

/*
 * tlf_GetMsg - take the next event of a channel.
 *
 *   channel   an open channel.
 *   msg       the host's own record (48 writable bytes).
 *
 * Returns 1 when an event was written into *msg, 0 when nothing was waiting
 * (then *msg is untouched). Never blocks. Only the fields that carry the
 * event are written: never Extra nor the gap bytes, and of Area and EvZone
 * only the length byte and the counted characters. Taking the event of a
 * frame is what lets the library acknowledge that frame to the receiver.
 *
 * Order: the event of the latest frame first; then, one per call, the further
 * blocks of bracketed frames in the order they stood in their frames. For
 * such a block only LineNo, Account, Area and EvZone are written.
 */
int TLF_CALL tlf_GetMsg(TlfChannel channel, TlfMsg *msg);

/*
 * tlf_GetSysMsg - interpret one receiver status line.
 *
 *   reserved    ignored; pass 0.
 *   statusLine  the line as a length-prefixed text: byte 0 is the length
 *               (0..255), the characters follow. Only read.
 *   statusBits  the host's 32-bit status set; read and written. Only the
 *               bits 0x01, 0x02, 0x04, 0x10 and 0x20 ever change, at most
 *               one per call; the library never initialises the set.
 *   lineMarks   the host's array of at least 14 per-line marks; at most one
 *               entry (index 0..13) is written per call, with 255 or 254.
 *               Never read, cleared or initialised by the library.
 *   info        receives 16 on every call.
 *
 * "   R E<h>" marks line h (hex digit 1..E) with 255, "   A F<h>" with 254
 * (entry h-1); the seven-character lines "   A 03"/"   R 04" set/clear 0x01,
 * "   A 11"/"   R 12" 0x02, "   A 17"/"   R 18" 0x04, "   A 07"/"   R 08"
 * 0x10 and "   A 15"/"   R 16" 0x20 (exact, case-sensitive matches).
 * Needs no channel; keeps no state. Two calls on the same bit set or mark
 * array must not run at the same time. The result carries no meaning.
 */
int TLF_CALL tlf_GetSysMsg(int reserved, const unsigned char *statusLine,
                           unsigned int *statusBits, unsigned char *lineMarks,
                           int *info);

/*
 * Tlf_GetNameN4 - identify the driver.
 *
 * Returns the driver's name "Kvarn_Rcvr" (a constant, zero-terminated text
 * owned by the library; do not modify or free it) and stores 65519 (0xFFEF),
 * 16 and 3 into id1, id2 and id3; null pointers are skipped. Needs no
 * channel.
 */
const char *TLF_CALL Tlf_GetNameN4(int *id1, int *id2, int *id3);

#ifdef __cplusplus
}
#endif

#endif /* KVARN_RCVR_H */
