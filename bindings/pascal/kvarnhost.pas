{ kvarnhost - a minimal console host on the KvarnRcvr unit: open one channel,
  poll it, print every event, close it.

    kvarnhost [PORT [RECEIVER [MAX_EVENTS [SECONDS [FIRST_POLL_MS]]]]]

  PORT (default 1) opens Com<PORT>: the COM port on Windows, the file
  ./Com<PORT> elsewhere (ln -s /dev/ttyUSB0 Com1). RECEIVER (default 1)
  selects section [RecNr<RECEIVER>] of ./Rn.ini. It stops after MAX_EVENTS
  events or SECONDS seconds (0: no limit) and always closes the channel.
  FIRST_POLL_MS delays the first poll: the receiver's first event then waits,
  unacknowledged, until the host takes it.

  Build: fpc -Fu<dir of kvarnrcvr.pas> -Fl<dir of libKvarn_Rcvr.so> kvarnhost.pas }
program KvarnHost;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}
{$IFDEF MSWINDOWS}
  {$APPTYPE CONSOLE}
{$ENDIF}

uses
{$IFDEF MSWINDOWS}
  Windows,
{$ENDIF}
  SysUtils, KvarnRcvr;

{ Waits about 50 ms. On Windows this thread opened the channel and so owns
  the library's message window: it must keep delivering window messages
  (PeekMessage also delivers the messages sent to the thread), or no event is
  ever handed over. }
procedure Idle;
{$IFDEF MSWINDOWS}
var
  Msg: TMsg;
begin
  while PeekMessage(Msg, 0, 0, 0, PM_REMOVE) do
  begin
    TranslateMessage(Msg);
    DispatchMessage(Msg);
  end;
{$ELSE}
begin
{$ENDIF}
  Sleep(50);
end;

procedure PrintEvent(const M: TTlfMsg);
var
  When: string;
begin
  if M.Stamp.wYear = TLF_NO_TIME then
    When := '-'
  else
    When := Format('%.2d:%.2d:%.2d %.2d/%.2d', [M.Stamp.wHour, M.Stamp.wMinute, M.Stamp.wSecond,
      M.Stamp.wDay, M.Stamp.wMonth]);
  { Area and EvZone are ShortStrings: their length byte is the library's. }
  WriteLn(Format('rcv %d line %d acct %X area [%s] event [%s] time %s',
    [M.RecNo, M.LineNo, M.Account, string(M.Area), string(M.EvZone), When]));
  Flush(Output);
end;

function ArgOr(Index, Default: Integer): Integer;
begin
  if ParamCount >= Index then
    Result := StrToInt(ParamStr(Index))
  else
    Result := Default;
end;

var
  Port, Receiver, MaxEvents, Seconds, Taken: Integer;
  Id1, Id2, Id3: LongInt;
  Name: PAnsiChar;
  Channel: TTlfChannel;
  Msg: TTlfMsg;
  Stop: TDateTime;
begin
  Port := ArgOr(1, 1);
  Receiver := ArgOr(2, 1);
  MaxEvents := ArgOr(3, 0);
  Seconds := ArgOr(4, 0);
  Name := Tlf_GetNameN4(@Id1, @Id2, @Id3);
  WriteLn(Format('driver %s %d/%d/%d', [string(AnsiString(Name)), Id1, Id2, Id3]));
  Flush(Output);
  Channel := tlf_InitComm(Port, Receiver);
  if Channel = nil then
  begin
    WriteLn(ErrOutput, Format('cannot open Com%d', [Port]));
    Halt(1);
  end;
  Stop := Now + Seconds / SecsPerDay;
  Taken := 0;
  FillChar(Msg, SizeOf(Msg), 0);
  Sleep(ArgOr(5, 0));
  while ((MaxEvents = 0) or (Taken < MaxEvents)) and ((Seconds = 0) or (Now < Stop)) do
  begin
    while tlf_GetMsg(Channel, Msg) = 1 do { one event per call }
    begin
      PrintEvent(Msg);
      Inc(Taken);
    end;
    Idle;
  end;
  tlf_CloseComm(Channel); { the channel is released: never use it again }
  WriteLn(Format('events %d', [Taken]));
end.
