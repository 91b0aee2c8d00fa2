// Placeholder until the channel lands.
#include "kvarn_rcvr.h"

extern "C" {

TlfChannel TLF_CALL tlf_InitComm(int, int) { return nullptr; }
int TLF_CALL tlf_CloseComm(TlfChannel) { return 0; }
int TLF_CALL tlf_GetMsg(TlfChannel, TlfMsg*) { return 0; }

}
