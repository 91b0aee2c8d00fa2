// The driver's identity, asked for by hosts before any channel exists.
//
// Loading and unloading the library run none of its own code: there is no
// DllMain and no static object with a constructor or destructor, so a host
// that only loads us, asks our name and unloads us again causes no port, file,
// window or thread activity. Everything else starts with tlf_InitComm.
#include "kvarn_rcvr.h"

namespace {

// One text for the life of the module: hosts may keep the pointer.
constexpr char kDriverName[] = "Kvarn_Rcvr";

constexpr int kDriverId1 = 65519;
constexpr int kDriverId2 = 16;
constexpr int kDriverId3 = 3;

}  // namespace

extern "C" const char* TLF_CALL Tlf_GetNameN4(int* id1, int* id2, int* id3) {
  if (id1) *id1 = kDriverId1;
  if (id2) *id2 = kDriverId2;
  if (id3) *id3 = kDriverId3;
  return kDriverName;
}
