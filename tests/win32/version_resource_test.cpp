// The version resource, read back the way installers and hosts read it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "win32/dll_under_test.h"

namespace kvarn_test {
namespace {

class VersionResource : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(DllPath().c_str(), &handle);
    ASSERT_GT(size, 0u) << "no version resource, error " << GetLastError();
    FData.resize(size);
    ASSERT_TRUE(GetFileVersionInfoA(DllPath().c_str(), 0, size, FData.data()));
  }

  // The value of `path`, or false when the resource has no such entry.
  bool Query(const std::string& path, const void** value, UINT* length) {
    void* p = nullptr;
    *length = 0;
    const BOOL ok = VerQueryValueA(FData.data(), path.c_str(), &p, length);
    *value = p;
    return ok && p;
  }

  std::vector<unsigned char> FData;
};

std::string VersionText(DWORD ms, DWORD ls) {
  char text[64];
  std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(ms)),
                static_cast<unsigned long>(LOWORD(ms)), static_cast<unsigned long>(HIWORD(ls)),
                static_cast<unsigned long>(LOWORD(ls)));
  return text;
}

TEST_F(VersionResource, FixedPartIsVersionOneOneOfADll) {
  const void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(Query("\\", &value, &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(VersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS), "1.1.0.0");
  EXPECT_EQ(VersionText(fixed->dwProductVersionMS, fixed->dwProductVersionLS), "1.1.0.0");
  EXPECT_EQ(VersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS), KVARN_PROJECT_VERSION)
      << "the resource and the CMake project disagree";
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "no debug, pre-release or patched flags";
}

TEST_F(VersionResource, TranslationIsUsEnglishCodePage1252) {
  const void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(Query("\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, 4u) << "exactly one language";
  const auto* words = static_cast<const WORD*>(value);
  EXPECT_EQ(words[0], 0x0409);
  EXPECT_EQ(words[1], 1252);
}

TEST_F(VersionResource, EveryStringFieldIsPresentWithItsText) {
  const struct {
    const char* field;
    const char* text;
  } fields[] = {
      {"CompanyName", ""},          {"FileDescription", ""},       {"FileVersion", "1.1.0.0"},
      {"InternalName", ""},         {"LegalCopyright", ""},        {"LegalTrademarks", ""},
      {"OriginalFilename", ""},     {"ProductName", "Kvarn_Rcvr"}, {"ProductVersion", "1.1.0.0"},
      {"Comments", "30.06.2009."},  {"PrivateBuild", ""},          {"SpecialBuild", ""},
  };
  for (const auto& f : fields) {
    SCOPED_TRACE(f.field);
    const void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(Query(std::string("\\StringFileInfo\\040904E4\\") + f.field, &value, &length));
    EXPECT_EQ(std::string(static_cast<const char*>(value)), f.text);
  }
  const void* value = nullptr;
  UINT length = 0;
  EXPECT_FALSE(Query("\\StringFileInfo\\040904E4\\NoSuchField", &value, &length)) << "absent fields must show";
  EXPECT_FALSE(Query("\\StringFileInfo\\040904B0\\ProductName", &value, &length)) << "one string table only";
}

}  // namespace
}  // namespace kvarn_test
