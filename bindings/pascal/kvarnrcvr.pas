{ KvarnRcvr - Free Pascal and Delphi declarations of the Kvarn_Rcvr host
  interface: the 48-byte event record TTlfMsg and the five functions, exactly
  as include/kvarn_rcvr.h lays them out. Read the threading rules there (or in
  docs/api.md) before writing a host; in short:

  - poll tlf_GetMsg for every open channel (every 50 to 200 ms), and call it
    again while it returns 1; an event not taken within 7000 ms is withdrawn
    and the receiver sends its frame again;
  - on Windows, open the channels in the thread that runs the message loop
    (the VCL/LCL main thread; poll from a TTimer): the library hands its
    events over through a hidden window of that thread;
  - close every channel before the program ends and never use it afterwards.

  Builds: 32-bit Windows loads Kvarn_Rcvr.dll with stdcall; elsewhere the
  library is libKvarn_Rcvr.so with the C calling convention (cdecl).

  Extra, the record's last field, belongs to the host: the library never
  reads or writes it. On 32-bit Windows it is declared as a string, so a host
  can keep its own text there; elsewhere it is a 32-bit opaque slot (the
  record keeps its 48 bytes on 64-bit targets). Keep one TTlfMsg per channel
  and pass it to tlf_GetMsg each time: only the event's fields are written. }
unit KvarnRcvr;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

interface

{$IFDEF MSWINDOWS}
uses
  Windows;
{$ENDIF}

const
{$IFDEF MSWINDOWS}
  KvarnRcvrLib = 'Kvarn_Rcvr.dll';
{$ELSE}
  {$IFDEF FPC}
  KvarnRcvrLib = 'Kvarn_Rcvr';            { linked as -lKvarn_Rcvr }
  {$ELSE}
  KvarnRcvrLib = 'libKvarn_Rcvr.so.1';
  {$ENDIF}
{$ENDIF}

  TLF_NO_TIME = $FFFF;                    { Stamp.wYear: the event carries no time }
  TLF_AREA_CAP = 3;
  TLF_EVZONE_CAP = 8;
  TLF_LINE_MARKS = 14;                    { entries of tlf_GetSysMsg's LineMarks }

type
{$IFDEF MSWINDOWS}
  TTlfSystemTime = Windows.TSystemTime;
{$ELSE}
  { The Win32 SYSTEMTIME layout: eight Words, 16 bytes. }
  TTlfSystemTime = packed record
    wYear: Word;                          { 0; TLF_NO_TIME: no time }
    wMonth: Word;                         { 2 }
    wDayOfWeek: Word;                     { 4; the PC clock's, 0 = Sunday }
    wDay: Word;                           { 6 }
    wHour: Word;                          { 8 }
    wMinute: Word;                        { 10 }
    wSecond: Word;                        { 12 }
    wMilliseconds: Word;                  { 14; the PC clock's }
  end;
{$ENDIF}

{$IF DEFINED(MSWINDOWS) AND (DEFINED(CPU386) OR DEFINED(CPUX86))}
  TTlfExtra = string;                     { a string reference: 4 bytes here }
{$ELSE}
  TTlfExtra = LongWord;
{$IFEND}

  { Packed, with the gaps spelled out: the offsets hold whatever record
    alignment the host's project is set to. }
  PTlfMsg = ^TTlfMsg;
  TTlfMsg = packed record
    RecNo: LongInt;                       { 0  receiver number }
    LineNo: Word;                         { 4  receiver line, 0..15 }
    Gap6: array[0..1] of Byte;            { 6  never written }
    Account: LongInt;                     { 8  the account's hex digits as a number: IntToHex(Account, 4) }
    Area: string[TLF_AREA_CAP];           { 12 area/partition, placed in spaces (' 01') }
    EvZone: string[TLF_EVZONE_CAP];       { 16 event code and zone ('E130 001') }
    Gap25: Byte;                          { 25 never written }
    Stamp: TTlfSystemTime;                { 26 receiver time }
    Gap42: array[0..1] of Byte;           { 42 never written }
    Extra: TTlfExtra;                     { 44 the host's own }
  end;

  TTlfChannel = Pointer;                  { nil: the port could not be opened }
  PTlfLineMarks = ^TTlfLineMarks;
  TTlfLineMarks = array[0..TLF_LINE_MARKS - 1] of Byte;

{ Opens Com<Port> with the settings of section [RecNr<Receiver>] of ./Rn.ini.
  Returns nil when the port cannot be opened. }
function tlf_InitComm(Port, Receiver: LongInt): TTlfChannel;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external KvarnRcvrLib name 'tlf_InitComm';

{ Stops the channel's reader (up to 7 s while an event waits for the host)
  and releases the channel. }
function tlf_CloseComm(Channel: TTlfChannel): LongInt;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external KvarnRcvrLib name 'tlf_CloseComm';

{ 1: an event was written into Msg (which lets the library acknowledge its
  frame); 0: nothing waiting, Msg untouched. Never blocks. }
function tlf_GetMsg(Channel: TTlfChannel; var Msg: TTlfMsg): LongInt;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external KvarnRcvrLib name 'tlf_GetMsg';

{ Interprets one receiver status line (a ShortString); updates StatusBits and
  at most one entry of LineMarks; Info receives 16. }
function tlf_GetSysMsg(Reserved: LongInt; StatusLine: PShortString; var StatusBits: LongWord;
  LineMarks: PTlfLineMarks; var Info: LongInt): LongInt;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external KvarnRcvrLib name 'tlf_GetSysMsg';

{ The driver's name 'Kvarn_Rcvr' (the library's constant: never free it) and
  the numbers 65519, 16, 3; nil pointers are skipped. }
function Tlf_GetNameN4(Id1, Id2, Id3: PLongInt): PAnsiChar;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external KvarnRcvrLib name 'Tlf_GetNameN4';

implementation

end.
