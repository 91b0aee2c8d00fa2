{ Prints the layout of the KvarnRcvr unit's records in the format of
  offsets.c ("Type.Field offset", "Type.Field.size bytes"), so the two
  outputs must be identical. }
program PascalLayout;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

uses
  KvarnRcvr;

var
  M: TTlfMsg;

procedure Show(const Name: string; Field: Pointer; Size: Integer; Base: Pointer);
begin
  WriteLn(Name, ' ', PtrUInt(Field) - PtrUInt(Base));
  WriteLn(Name, '.size ', Size);
end;

begin
  WriteLn('TlfMsg.size ', SizeOf(TTlfMsg));
  WriteLn('TlfSystemTime.size ', SizeOf(TTlfSystemTime));
  Show('TlfMsg.RecNo', @M.RecNo, SizeOf(M.RecNo), @M);
  Show('TlfMsg.LineNo', @M.LineNo, SizeOf(M.LineNo), @M);
  Show('TlfMsg.Gap6', @M.Gap6, SizeOf(M.Gap6), @M);
  Show('TlfMsg.Account', @M.Account, SizeOf(M.Account), @M);
  Show('TlfMsg.Area', @M.Area, SizeOf(M.Area), @M);
  Show('TlfMsg.EvZone', @M.EvZone, SizeOf(M.EvZone), @M);
  Show('TlfMsg.Gap25', @M.Gap25, SizeOf(M.Gap25), @M);
  Show('TlfMsg.Stamp', @M.Stamp, SizeOf(M.Stamp), @M);
  Show('TlfMsg.Gap42', @M.Gap42, SizeOf(M.Gap42), @M);
  Show('TlfMsg.Extra', @M.Extra, SizeOf(M.Extra), @M);
  Show('TlfSystemTime.wYear', @M.Stamp.wYear, SizeOf(M.Stamp.wYear), @M.Stamp);
  Show('TlfSystemTime.wMonth', @M.Stamp.wMonth, SizeOf(M.Stamp.wMonth), @M.Stamp);
  Show('TlfSystemTime.wDayOfWeek', @M.Stamp.wDayOfWeek, SizeOf(M.Stamp.wDayOfWeek), @M.Stamp);
  Show('TlfSystemTime.wDay', @M.Stamp.wDay, SizeOf(M.Stamp.wDay), @M.Stamp);
  Show('TlfSystemTime.wHour', @M.Stamp.wHour, SizeOf(M.Stamp.wHour), @M.Stamp);
  Show('TlfSystemTime.wMinute', @M.Stamp.wMinute, SizeOf(M.Stamp.wMinute), @M.Stamp);
  Show('TlfSystemTime.wSecond', @M.Stamp.wSecond, SizeOf(M.Stamp.wSecond), @M.Stamp);
  Show('TlfSystemTime.wMilliseconds', @M.Stamp.wMilliseconds, SizeOf(M.Stamp.wMilliseconds), @M.Stamp);
end.
