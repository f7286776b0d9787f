#include "common/security.h"

#include <gtest/gtest.h>

#include <string>

#include "common/handle.h"
#include "support/test_support.h"

namespace {

QV_CHILD_MAIN(set_named_event) {
  if (args.size() != 1) return 10;
  HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, args[0].c_str());
  if (!event) return 20;
  BOOL set = ::SetEvent(event);
  ::CloseHandle(event);
  return set ? 0 : 30;
}

TEST(OpenSecurityAttributes, OneRecordWithANullDaclAndInheritableHandles) {
  SECURITY_ATTRIBUTES* first = GetOpenSecurityAttributes();
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(first, GetOpenSecurityAttributes());
  EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), first->nLength);
  EXPECT_EQ(TRUE, first->bInheritHandle);
  ASSERT_NE(nullptr, first->lpSecurityDescriptor);
  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = reinterpret_cast<PACL>(1);
  ASSERT_TRUE(
      ::GetSecurityDescriptorDacl(first->lpSecurityDescriptor, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(nullptr, dacl);
  EXPECT_FALSE(defaulted);
  EXPECT_TRUE(::IsValidSecurityDescriptor(first->lpSecurityDescriptor));
}

TEST(OpenSecurityAttributes, NamedEventIsOpenedBySecondProcess) {
  const std::wstring name = testing_support::UniqueName(L"Global\\qvtest_open_sa");
  UniqueHandle event(::CreateEventW(GetOpenSecurityAttributes(), /*bManualReset=*/TRUE,
                                    /*bInitialState=*/FALSE, name.c_str()));
  ASSERT_TRUE(event.valid());
  testing_support::ChildProcess child;
  ASSERT_TRUE(child.Start(L"set_named_event", {name}));
  EXPECT_EQ(0, child.Wait());
  EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event.get(), 0));
}

// Reads back the entry at `index` of an ACL as built.
struct Ace {
  BYTE type = 0, flags = 0;
  ACCESS_MASK mask = 0;
  PSID sid = nullptr;
};
bool ReadAce(PACL acl, DWORD index, Ace& out) {
  void* raw = nullptr;
  if (!::GetAce(acl, index, &raw)) return false;
  auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
  out.type = ace->Header.AceType;
  out.flags = ace->Header.AceFlags;
  out.mask = ace->Mask;
  out.sid = &ace->SidStart;
  return true;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  return ::CreateWellKnownSid(type, nullptr, buffer, &size) && ::EqualSid(sid, buffer);
}

TEST(W32SecAttr, BuildsAdministratorsThenEveryoneWithTheGivenRights) {
  const struct {
    const char* label;
    bool four_arguments;
    DWORD inheritance;
    BYTE ace_flags;
  } cases[] = {
      {"folder sharing", true, SUB_CONTAINERS_AND_OBJECTS_INHERIT,
       OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
      {"two-argument build", false, NO_INHERITANCE, 0},
  };
  for (const auto& c : cases) {
    W32SecAttr attributes;
    EXPECT_EQ(nullptr, attributes.sa);
    const DWORD admin_rights = GENERIC_ALL, everyone_rights = 0x1F01FF;
    ASSERT_TRUE(c.four_arguments
                    ? attributes.Build(admin_rights, everyone_rights, SET_ACCESS, c.inheritance)
                    : attributes.Build(admin_rights, everyone_rights))
        << c.label;
    ASSERT_NE(nullptr, attributes.sa) << c.label;
    EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), attributes.sa->nLength);
    EXPECT_EQ(FALSE, attributes.sa->bInheritHandle);
    EXPECT_EQ(attributes.sd, attributes.sa->lpSecurityDescriptor);
    EXPECT_TRUE(IsWellKnown(attributes.admins_sid, WinBuiltinAdministratorsSid)) << c.label;
    EXPECT_TRUE(IsWellKnown(attributes.everyone_sid, WinWorldSid)) << c.label;

    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(attributes.sd, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    EXPECT_EQ(attributes.dacl, dacl);
    ACL_SIZE_INFORMATION info{};
    ASSERT_TRUE(::GetAclInformation(dacl, &info, sizeof info, AclSizeInformation));
    ASSERT_EQ(2u, info.AceCount) << c.label;
    Ace admins, everyone;
    ASSERT_TRUE(ReadAce(dacl, 0, admins));
    ASSERT_TRUE(ReadAce(dacl, 1, everyone));
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, admins.type);
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, everyone.type);
    EXPECT_TRUE(IsWellKnown(admins.sid, WinBuiltinAdministratorsSid)) << c.label;
    EXPECT_TRUE(IsWellKnown(everyone.sid, WinWorldSid)) << c.label;
    EXPECT_EQ(admin_rights, admins.mask) << c.label;
    EXPECT_EQ(everyone_rights, everyone.mask) << c.label;
    EXPECT_EQ(c.ace_flags, admins.flags) << c.label;
    EXPECT_EQ(c.ace_flags, everyone.flags) << c.label;

    attributes.Release();
    EXPECT_EQ(nullptr, attributes.sa);
    EXPECT_EQ(nullptr, attributes.sd);
    EXPECT_EQ(nullptr, attributes.dacl);
    EXPECT_EQ(nullptr, attributes.admins_sid);
    EXPECT_EQ(nullptr, attributes.everyone_sid);
    attributes.Release();
  }
}

TEST(W32SecAttr, AttributesCreateANamedObjectOthersCanOpen) {
  W32SecAttr attributes;
  ASSERT_TRUE(attributes.Build(GENERIC_ALL, GENERIC_ALL));
  ASSERT_TRUE(attributes.Build(GENERIC_ALL, EVENT_ALL_ACCESS)) << "a second build";
  const std::wstring name = testing_support::UniqueName(L"Global\\qvtest_w32sa");
  UniqueHandle event(::CreateEventW(attributes.sa, TRUE, FALSE, name.c_str()));
  ASSERT_TRUE(event.valid());
  testing_support::ChildProcess child;
  ASSERT_TRUE(child.Start(L"set_named_event", {name}));
  EXPECT_EQ(0, child.Wait());
  EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event.get(), 0));
}

TEST(W32SecAttr, FailedBuildLeavesItEmptyAndDestroysSafely) {
  for (int mode : {0x7F, -1}) {
    auto* attributes = new W32SecAttr;
    EXPECT_FALSE(
        attributes->Build(GENERIC_ALL, GENERIC_ALL, static_cast<ACCESS_MODE>(mode), NO_INHERITANCE))
        << mode;
    EXPECT_EQ(nullptr, attributes->sa);
    EXPECT_EQ(nullptr, attributes->sd);
    EXPECT_EQ(nullptr, attributes->dacl);
    EXPECT_EQ(nullptr, attributes->admins_sid);
    EXPECT_EQ(nullptr, attributes->everyone_sid);
    delete attributes;
  }
  W32SecAttr built;
  ASSERT_TRUE(built.Build(GENERIC_ALL, GENERIC_READ));
  EXPECT_FALSE(built.Build(GENERIC_ALL, GENERIC_READ, static_cast<ACCESS_MODE>(0x7F), 0));
  EXPECT_EQ(nullptr, built.sa) << "a failed rebuild kept the previous record";
}

int g_closes = 0;
HANDLE g_closed = INVALID_HANDLE_VALUE;
int WINAPI CountingClose(HANDLE handle) {
  ++g_closes;
  g_closed = handle;
  return TRUE;
}

TEST(HandleImpl, CallsItsCloseFunctionOnceEvenForNull) {
  const HANDLE cases[] = {nullptr, reinterpret_cast<HANDLE>(0x1234)};
  for (HANDLE handle : cases) {
    g_closes = 0;
    g_closed = INVALID_HANDLE_VALUE;
    {
      HandleImpl<HANDLE> owner(handle, CountingClose);
      HandleBase<HANDLE>& base = owner;
      EXPECT_EQ(handle, *base.Get());
      EXPECT_EQ(0, g_closes);
    }
    EXPECT_EQ(1, g_closes) << handle;
    EXPECT_EQ(handle, g_closed);
  }
  // The address lets the owner's handle be filled in after construction.
  g_closes = 0;
  {
    HandleImpl<HANDLE> owner(nullptr, CountingClose);
    *owner.Get() = reinterpret_cast<HANDLE>(0x42);
  }
  EXPECT_EQ(1, g_closes);
  EXPECT_EQ(reinterpret_cast<HANDLE>(0x42), g_closed);
}

TEST(HandleImpl, OwnsAModuleReleasedByFreeLibrary) {
  HMODULE module = ::LoadLibraryW(L"version.dll");
  ASSERT_NE(nullptr, module);
  {
    HandleImpl<HMODULE> owner(module, ::FreeLibrary);
    EXPECT_EQ(module, *owner.Get());
  }
  HandleImpl<HMODULE> empty(nullptr, ::FreeLibrary);
}

}  // namespace
