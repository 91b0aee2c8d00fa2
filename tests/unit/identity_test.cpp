// The driver's name and identity numbers, and that null pointers are skipped.
#include <gtest/gtest.h>

#include <cstring>

#include "kvarn_rcvr.h"

namespace {

constexpr int kUntouched = 0x7A7A7A7A;

TEST(DriverIdentity, NameIsTheConstantText) {
  const char* name = Tlf_GetNameN4(nullptr, nullptr, nullptr);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "Kvarn_Rcvr");
  EXPECT_EQ(std::strlen(name), 10u);
  EXPECT_EQ(Tlf_GetNameN4(nullptr, nullptr, nullptr), name) << "the same pointer on every call";
}

TEST(DriverIdentity, AllThreeNumbers) {
  int id1 = kUntouched, id2 = kUntouched, id3 = kUntouched;
  const char* name = Tlf_GetNameN4(&id1, &id2, &id3);
  EXPECT_EQ(id1, 65519);
  EXPECT_EQ(id2, 16);
  EXPECT_EQ(id3, 3);
  EXPECT_EQ(name, Tlf_GetNameN4(nullptr, nullptr, nullptr));
}

// Each pointer alone: only its own int is written, its neighbours are not.
TEST(DriverIdentity, NullPointersAreSkipped) {
  const int want[3] = {65519, 16, 3};
  for (int which = 0; which < 3; ++which) {
    SCOPED_TRACE(which);
    int slots[5] = {kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
    int* target = &slots[2];
    Tlf_GetNameN4(which == 0 ? target : nullptr, which == 1 ? target : nullptr, which == 2 ? target : nullptr);
    EXPECT_EQ(slots[2], want[which]);
    for (int i : {0, 1, 3, 4}) EXPECT_EQ(slots[i], kUntouched) << "slot " << i;
  }
}

}  // namespace
