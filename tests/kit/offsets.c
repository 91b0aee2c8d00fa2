/* Prints the record's layout as this compiler sees it: "Type.Field offset"
 * and "Type.Field.size bytes". */
#include <stdio.h>

#include "kvarn_rcvr.h"

#define SHOW(type, field)                                                                  \
    printf("%s.%s %u\n%s.%s.size %u\n", #type, #field, (unsigned)offsetof(type, field), #type, #field, \
           (unsigned)sizeof(((type *)0)->field))

int main(void)
{
    printf("TlfMsg.size %u\nTlfSystemTime.size %u\n", (unsigned)sizeof(TlfMsg),
           (unsigned)sizeof(TlfSystemTime));
    SHOW(TlfMsg, RecNo);
    SHOW(TlfMsg, LineNo);
    SHOW(TlfMsg, Gap6);
    SHOW(TlfMsg, Account);
    SHOW(TlfMsg, Area);
    SHOW(TlfMsg, EvZone);
    SHOW(TlfMsg, Gap25);
    SHOW(TlfMsg, Stamp);
    SHOW(TlfMsg, Gap42);
    SHOW(TlfMsg, Extra);
    SHOW(TlfSystemTime, wYear);
    SHOW(TlfSystemTime, wMonth);
    SHOW(TlfSystemTime, wDayOfWeek);
    SHOW(TlfSystemTime, wDay);
    SHOW(TlfSystemTime, wHour);
    SHOW(TlfSystemTime, wMinute);
    SHOW(TlfSystemTime, wSecond);
    SHOW(TlfSystemTime, wMilliseconds);
    return 0;
}
