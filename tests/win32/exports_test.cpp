// Kvarn_Rcvr.dll as hosts bind to it: five undecorated names at fixed
// ordinals, nothing else exported, and every function removing its own
// arguments from the stack (stdcall).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "kvarn_rcvr.h"
#include "win32/dll_under_test.h"

namespace kvarn_test {
namespace {

struct Export {
  const char* name;
  WORD ordinal;
};
constexpr Export kExports[] = {
    {"Tlf_GetNameN4", 1}, {"tlf_GetSysMsg", 2}, {"tlf_GetMsg", 3}, {"tlf_CloseComm", 4}, {"tlf_InitComm", 5},
};

const void* AsPointer(FARPROC fn) { return reinterpret_cast<const void*>(fn); }

class DllExports : public ::testing::Test {
 protected:
  void SetUp() override {
    FModule = LoadLibraryA(DllPath().c_str());
    ASSERT_NE(FModule, nullptr) << DllPath() << " error " << GetLastError();
  }
  void TearDown() override {
    if (FModule) FreeLibrary(FModule);
  }

  const void* ByName(const char* name) const { return AsPointer(GetProcAddress(FModule, name)); }
  const void* ByOrdinal(WORD ordinal) const { return AsPointer(GetProcAddress(FModule, MAKEINTRESOURCEA(ordinal))); }

  HMODULE FModule = nullptr;
};

TEST_F(DllExports, EachNameAndItsOrdinalFindTheSameFunction) {
  for (const Export& e : kExports) {
    SCOPED_TRACE(e.name);
    const void* byName = ByName(e.name);
    ASSERT_NE(byName, nullptr);
    EXPECT_EQ(ByOrdinal(e.ordinal), byName);
  }
  EXPECT_EQ(ByOrdinal(6), nullptr) << "a sixth export";
  EXPECT_EQ(ByOrdinal(0), nullptr);
}

TEST_F(DllExports, NamesAreUndecoratedAndCaseSensitive) {
  for (const char* name : {"Tlf_GetNameN4@12", "_Tlf_GetNameN4@12", "_tlf_GetSysMsg@20", "tlf_GetMsg@8",
                           "tlf_getnamen4", "TLF_GETSYSMSG", "Tlf_GetMsg", "tlf_initcomm", "DllMain"}) {
    EXPECT_EQ(ByName(name), nullptr) << name;
  }
}

// Read straight from the loaded image, so nothing exported by name only or by
// ordinal only can hide from GetProcAddress probes.
TEST_F(DllExports, ExportDirectoryHoldsExactlyTheFive) {
  const auto* base = reinterpret_cast<const unsigned char*>(FModule);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  ASSERT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
  ASSERT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  const auto* ed = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);

  EXPECT_STREQ(reinterpret_cast<const char*>(base + ed->Name), "Kvarn_Rcvr.dll");
  EXPECT_EQ(ed->Base, 1u);
  EXPECT_EQ(ed->NumberOfFunctions, 5u);
  ASSERT_EQ(ed->NumberOfNames, 5u);

  const auto* names = reinterpret_cast<const DWORD*>(base + ed->AddressOfNames);
  const auto* nameOrdinals = reinterpret_cast<const WORD*>(base + ed->AddressOfNameOrdinals);
  const auto* functions = reinterpret_cast<const DWORD*>(base + ed->AddressOfFunctions);
  std::map<std::string, DWORD> found;
  for (DWORD i = 0; i < ed->NumberOfNames; ++i) {
    const std::string name = reinterpret_cast<const char*>(base + names[i]);
    const WORD index = nameOrdinals[i];
    ASSERT_LT(index, ed->NumberOfFunctions) << name;
    found[name] = ed->Base + index;
    EXPECT_EQ(static_cast<const void*>(base + functions[index]), ByName(name.c_str())) << name;
  }
  std::map<std::string, DWORD> want;
  for (const Export& e : kExports) want[e.name] = e.ordinal;
  EXPECT_EQ(found, want);
}

// Each call goes through the probe, which pushes the arguments and leaves the
// cleanup to the callee: a callee that does not pop exactly its arguments
// shows as a moved stack pointer.
TEST_F(DllExports, CalleesRemoveTheirArguments) {
  int32_t moved = -1;
  int id1 = 0, id2 = 0, id3 = 0;
  const uint32_t nameArgs[] = {Arg(&id1), Arg(&id2), Arg(&id3)};
  const uint32_t name = KvarnCallStdcall(ByName("Tlf_GetNameN4"), nameArgs, 3, &moved);
  EXPECT_EQ(moved, 0) << "Tlf_GetNameN4";
  EXPECT_STREQ(reinterpret_cast<const char*>(static_cast<uintptr_t>(name)), "Kvarn_Rcvr");
  EXPECT_EQ(id1, 65519);
  EXPECT_EQ(id2, 16);
  EXPECT_EQ(id3, 3);

  const unsigned char line[] = "\x07   A 03";
  unsigned int bits = 0x08;
  unsigned char marks[16] = {};
  int info = 0;
  const uint32_t sysArgs[] = {0, Arg(line), Arg(&bits), Arg(marks), Arg(&info)};
  moved = -1;
  KvarnCallStdcall(ByName("tlf_GetSysMsg"), sysArgs, 5, &moved);
  EXPECT_EQ(moved, 0) << "tlf_GetSysMsg";
  EXPECT_EQ(bits, 0x09u);
  EXPECT_EQ(info, 16);

  // Port 0 never opens, so this creates no channel.
  const uint32_t initArgs[] = {0, 1};
  moved = -1;
  EXPECT_EQ(KvarnCallStdcall(ByName("tlf_InitComm"), initArgs, 2, &moved), 0u);
  EXPECT_EQ(moved, 0) << "tlf_InitComm";
}

// tlf_GetMsg and tlf_CloseComm need an open channel. Given a COM port that
// leads to a pseudo-terminal (KVARN_TEST_COM_PORT, e.g. 7), open one there
// and measure them too. Without it, the link of the DLL is what holds them to
// stdcall: the export file names them with their decorations (@8, @4), which
// only a stdcall function of that argument size carries.
TEST_F(DllExports, ChannelCalleesRemoveTheirArguments) {
  const char* port = std::getenv("KVARN_TEST_COM_PORT");
  if (!port || !*port) GTEST_SKIP() << "KVARN_TEST_COM_PORT not set";
  const uint32_t initArgs[] = {static_cast<uint32_t>(std::atoi(port)), 1};
  int32_t moved = -1;
  const uint32_t channel = KvarnCallStdcall(ByName("tlf_InitComm"), initArgs, 2, &moved);
  ASSERT_NE(channel, 0u) << "COM" << port << " did not open";
  EXPECT_EQ(moved, 0) << "tlf_InitComm";

  TlfMsg msg;
  std::memset(&msg, 0, sizeof msg);
  const uint32_t getArgs[] = {channel, Arg(&msg)};
  moved = -1;
  EXPECT_EQ(KvarnCallStdcall(ByName("tlf_GetMsg"), getArgs, 2, &moved), 0u) << "nothing was sent";
  EXPECT_EQ(moved, 0) << "tlf_GetMsg";

  const uint32_t closeArgs[] = {channel};
  moved = -1;
  KvarnCallStdcall(ByName("tlf_CloseComm"), closeArgs, 1, &moved);
  EXPECT_EQ(moved, 0) << "tlf_CloseComm";
}

// The probe itself must tell a callee that pops from one that does not.
uint32_t __stdcall PopsTwo(uint32_t a, uint32_t b) { return a + b; }
uint32_t __cdecl PopsNone(uint32_t a, uint32_t b) { return a * b; }

TEST(StdcallProbe, TellsCalleeCleanupFromCallerCleanup) {
  const uint32_t args[] = {6, 7};
  int32_t moved = -1;
  EXPECT_EQ(KvarnCallStdcall(reinterpret_cast<const void*>(&PopsTwo), args, 2, &moved), 13u);
  EXPECT_EQ(moved, 0);
  EXPECT_EQ(KvarnCallStdcall(reinterpret_cast<const void*>(&PopsNone), args, 2, &moved), 42u);
  EXPECT_EQ(moved, -8);
}

}  // namespace
}  // namespace kvarn_test
