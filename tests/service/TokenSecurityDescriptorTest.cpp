// TokenSecurityDescriptor on the platform's own tokens; runs on the host layer and under
// Wine.
#include <gtest/gtest.h>

#include <cstring>

#include "service/TokenSecurityDescriptor.h"

namespace kstv::test {
namespace {

bool SameSid(PSID a, PSID b) {
  return a && b && GetLengthSid(a) == GetLengthSid(b) && std::memcmp(a, b, GetLengthSid(a)) == 0;
}

TEST(TokenSecurityDescriptorTest, WithoutAThreadTokenTheProcessTokenGivesOwnerAndGroup) {
  TokenSecurityDescriptor descriptor;
  ASSERT_EQ(S_OK, descriptor.InitFromToken(FALSE, TRUE));
  auto* absolute = static_cast<SECURITY_DESCRIPTOR*>(descriptor.descriptor());
  ASSERT_NE(nullptr, absolute);
  EXPECT_EQ(descriptor.owner(), absolute->Owner);
  EXPECT_EQ(descriptor.group(), absolute->Group);
  EXPECT_EQ(nullptr, absolute->Dacl);
  EXPECT_EQ(nullptr, absolute->Sacl);
  EXPECT_EQ(0, absolute->Control & (SE_OWNER_DEFAULTED | SE_GROUP_DEFAULTED));

  PSID user = nullptr, group = nullptr;
  ASSERT_EQ(S_OK, TokenSecurityDescriptor::CopyProcessIdentity(&user, &group));
  EXPECT_TRUE(SameSid(user, descriptor.owner()));
  EXPECT_TRUE(SameSid(group, descriptor.group()));
  HeapFree(GetProcessHeap(), 0, user);
  HeapFree(GetProcessHeap(), 0, group);
}

TEST(TokenSecurityDescriptorTest, WithoutFallbackAndWithoutAThreadTokenItFailsAndHoldsNothing) {
  TokenSecurityDescriptor descriptor;
  EXPECT_EQ(static_cast<HRESULT>(0x800703F0), descriptor.InitFromToken(FALSE, FALSE));
  EXPECT_EQ(nullptr, descriptor.descriptor());
  EXPECT_EQ(nullptr, descriptor.owner());
  EXPECT_EQ(nullptr, descriptor.group());
}

TEST(TokenSecurityDescriptorTest, ANullOwnerLeavesTheDescriptorWithoutOwner) {
  TokenSecurityDescriptor descriptor;
  ASSERT_EQ(S_OK, descriptor.InitFromToken(TRUE, TRUE));
  EXPECT_NE(
      0, static_cast<SECURITY_DESCRIPTOR*>(descriptor.descriptor())->Control & SE_OWNER_DEFAULTED);
  ASSERT_EQ(S_OK, descriptor.AssignOwner(nullptr, FALSE));
  EXPECT_EQ(nullptr, descriptor.owner());
  EXPECT_EQ(nullptr, static_cast<SECURITY_DESCRIPTOR*>(descriptor.descriptor())->Owner);
  EXPECT_NE(nullptr, descriptor.group());
}

TEST(TokenSecurityDescriptorTest, AnInvalidSidIsRefusedAndThePreviousOwnerIsGone) {
  TokenSecurityDescriptor descriptor;
  ASSERT_EQ(S_OK, descriptor.InitFromToken(FALSE, TRUE));
  BYTE invalid[16] = {9, 1};  // revision 9
  EXPECT_EQ(E_INVALIDARG, descriptor.AssignOwner(invalid, FALSE));
  EXPECT_EQ(nullptr, descriptor.owner());
  EXPECT_EQ(nullptr, static_cast<SECURITY_DESCRIPTOR*>(descriptor.descriptor())->Owner);
}

TEST(TokenSecurityDescriptorTest, ResetStartsAFreshDescriptor) {
  TokenSecurityDescriptor descriptor;
  ASSERT_EQ(S_OK, descriptor.InitFromToken(FALSE, TRUE));
  ASSERT_EQ(S_OK, descriptor.Reset());
  EXPECT_EQ(nullptr, descriptor.owner());
  EXPECT_EQ(nullptr, descriptor.group());
  ASSERT_NE(nullptr, descriptor.descriptor());
  EXPECT_EQ(nullptr, static_cast<SECURITY_DESCRIPTOR*>(descriptor.descriptor())->Owner);
}

}  // namespace
}  // namespace kstv::test
