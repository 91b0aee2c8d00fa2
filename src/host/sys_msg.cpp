// Placeholder until the status-line interpreter lands.
#include "kvarn_rcvr.h"

extern "C" int TLF_CALL tlf_GetSysMsg(int, const unsigned char*, unsigned int*, unsigned char*, int* info) {
  *info = 16;
  return 0;
}
