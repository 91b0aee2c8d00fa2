// Placeholder until the driver identity lands.
#include "kvarn_rcvr.h"

extern "C" const char* TLF_CALL Tlf_GetNameN4(int*, int*, int*) { return "Kvarn_Rcvr"; }
