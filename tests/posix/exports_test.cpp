// The shared library as a host sees it: exactly the five functions in its
// dynamic symbol table, callable through dlsym, and a load/unload cycle that
// starts no thread and creates no file.
#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "kvarn_rcvr.h"

namespace {

const char* const kExports[] = {"Tlf_GetNameN4", "tlf_GetSysMsg", "tlf_GetMsg", "tlf_CloseComm", "tlf_InitComm"};

std::vector<char> ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename T>
const T* At(const std::vector<char>& image, size_t offset) {
  if (offset + sizeof(T) > image.size()) return nullptr;
  return reinterpret_cast<const T*>(image.data() + offset);
}

// Names of the symbols the library defines and makes visible to others,
// read from its .dynsym section (the bind and visibility encodings are the
// same in 32- and 64-bit files).
std::set<std::string> DefinedDynamicSymbols(const std::vector<char>& image) {
  std::set<std::string> names;
  const auto* eh = At<ElfW(Ehdr)>(image, 0);
  if (!eh || std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0) return names;
  for (size_t i = 0; i < eh->e_shnum; ++i) {
    const auto* sh = At<ElfW(Shdr)>(image, eh->e_shoff + i * eh->e_shentsize);
    if (!sh || sh->sh_type != SHT_DYNSYM) continue;
    const auto* strtab = At<ElfW(Shdr)>(image, eh->e_shoff + sh->sh_link * eh->e_shentsize);
    if (!strtab) return names;
    for (size_t off = 0; off + sizeof(ElfW(Sym)) <= sh->sh_size; off += sizeof(ElfW(Sym))) {
      const auto* sym = At<ElfW(Sym)>(image, sh->sh_offset + off);
      if (!sym || sym->st_shndx == SHN_UNDEF) continue;
      const unsigned bind = ELF64_ST_BIND(sym->st_info);
      if (bind == STB_LOCAL || ELF64_ST_VISIBILITY(sym->st_other) == STV_HIDDEN) continue;
      names.insert(image.data() + strtab->sh_offset + sym->st_name);
    }
  }
  return names;
}

TEST(SharedLibraryExports, DynamicSymbolTableHoldsExactlyTheFive) {
  const std::vector<char> image = ReadFile(KVARN_LIBRARY_PATH);
  ASSERT_FALSE(image.empty()) << KVARN_LIBRARY_PATH;
  const std::set<std::string> want(std::begin(kExports), std::end(kExports));
  EXPECT_EQ(DefinedDynamicSymbols(image), want);
}

TEST(SharedLibraryExports, EachResolvesInsideTheLibraryAndWorks) {
  void* lib = dlopen(KVARN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const char* name : kExports) {
    void* fn = dlsym(lib, name);
    ASSERT_NE(fn, nullptr) << name;
    Dl_info info{};
    ASSERT_NE(dladdr(fn, &info), 0);
    EXPECT_STREQ(std::strrchr(info.dli_fname, '/'), std::strrchr(KVARN_LIBRARY_PATH, '/')) << name;
  }
  auto getName = reinterpret_cast<decltype(&Tlf_GetNameN4)>(dlsym(lib, "Tlf_GetNameN4"));
  int id1 = 0, id2 = 0, id3 = 0;
  EXPECT_STREQ(getName(&id1, &id2, &id3), "Kvarn_Rcvr");
  EXPECT_EQ(id1, 65519);
  EXPECT_EQ(id2, 16);
  EXPECT_EQ(id3, 3);

  auto getSysMsg = reinterpret_cast<decltype(&tlf_GetSysMsg)>(dlsym(lib, "tlf_GetSysMsg"));
  const unsigned char line[] = "\x07   A 03";
  unsigned int bits = 0x08;
  unsigned char marks[14] = {};
  int info = 0;
  getSysMsg(0, line, &bits, marks, &info);
  EXPECT_EQ(bits, 0x09u);
  EXPECT_EQ(info, 16);

  auto initComm = reinterpret_cast<decltype(&tlf_InitComm)>(dlsym(lib, "tlf_InitComm"));
  EXPECT_EQ(initComm(0, 1), nullptr) << "port 0 never opens";
  EXPECT_EQ(dlclose(lib), 0);
}

size_t ThreadCount() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

// A host that loads the library, asks its name, interprets a line and unloads
// it again, all without opening a channel.
TEST(SharedLibraryLoad, LoadCallUnloadStartsNoThreadAndCreatesNoFile) {
  char tmpl[] = "/tmp/kvarn-load-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  char* oldDir = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.c_str()), 0);

  const size_t before = ThreadCount();
  void* lib = dlopen(KVARN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  const size_t loaded = ThreadCount();
  auto getName = reinterpret_cast<decltype(&Tlf_GetNameN4)>(dlsym(lib, "Tlf_GetNameN4"));
  auto getSysMsg = reinterpret_cast<decltype(&tlf_GetSysMsg)>(dlsym(lib, "tlf_GetSysMsg"));
  ASSERT_TRUE(getName && getSysMsg);
  getName(nullptr, nullptr, nullptr);
  const unsigned char line[] = "\x07   R E1";
  unsigned int bits = 0;
  unsigned char marks[14] = {};
  int info = 0;
  getSysMsg(0, line, &bits, marks, &info);
  const size_t called = ThreadCount();
  EXPECT_EQ(dlclose(lib), 0);
  const size_t unloaded = ThreadCount();

  EXPECT_EQ(loaded, before);
  EXPECT_EQ(called, before);
  EXPECT_EQ(unloaded, before);
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{});

  ASSERT_EQ(chdir(oldDir), 0);
  std::free(oldDir);
  rmdir(dir.c_str());
}

}  // namespace
