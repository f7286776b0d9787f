#include "common/security.h"

#include <atomic>

namespace {

SECURITY_DESCRIPTOR g_open_descriptor;
SECURITY_ATTRIBUTES g_open_attributes;
std::atomic<SECURITY_ATTRIBUTES*> g_open_cached{nullptr};
// Threads that ask at once must not rewrite the record another one already hands out.
SRWLOCK g_open_lock = SRWLOCK_INIT;

using SetEntriesInAclAFn = DWORD(WINAPI*)(ULONG, PEXPLICIT_ACCESS_A, PACL, PACL*);

}  // namespace

SECURITY_ATTRIBUTES* GetOpenSecurityAttributes() {
  SECURITY_ATTRIBUTES* cached = g_open_cached.load(std::memory_order_acquire);
  if (cached) return cached;
  ::AcquireSRWLockExclusive(&g_open_lock);
  cached = g_open_cached.load(std::memory_order_acquire);
  if (!cached && ::InitializeSecurityDescriptor(&g_open_descriptor, SECURITY_DESCRIPTOR_REVISION) &&
      ::SetSecurityDescriptorDacl(&g_open_descriptor, /*bDaclPresent=*/TRUE, /*pDacl=*/nullptr,
                                  /*bDaclDefaulted=*/FALSE)) {
    g_open_attributes.nLength = sizeof g_open_attributes;
    g_open_attributes.lpSecurityDescriptor = &g_open_descriptor;
    g_open_attributes.bInheritHandle = TRUE;
    cached = &g_open_attributes;
    g_open_cached.store(cached, std::memory_order_release);
  }
  ::ReleaseSRWLockExclusive(&g_open_lock);
  return cached;
}

W32SecAttr::~W32SecAttr() { W32SecAttr::Release(); }

bool W32SecAttr::Build(DWORD admin_rights, DWORD everyone_rights, ACCESS_MODE mode,
                       DWORD inheritance) {
  EXPLICIT_ACCESS_A admins{};
  admins.grfAccessPermissions = admin_rights;
  admins.grfAccessMode = mode;
  admins.grfInheritance = inheritance;
  admins.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  admins.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
  EXPLICIT_ACCESS_A everyone{};
  everyone.grfAccessPermissions = everyone_rights;
  everyone.grfAccessMode = mode;
  everyone.grfInheritance = inheritance;
  everyone.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  everyone.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  return BuildFromEntries(admins, everyone);
}

bool W32SecAttr::Build(DWORD admin_rights, DWORD everyone_rights) {
  return Build(admin_rights, everyone_rights, SET_ACCESS, NO_INHERITANCE);
}

bool W32SecAttr::BuildFromEntries(EXPLICIT_ACCESS_A& admins, EXPLICIT_ACCESS_A& everyone) {
  // A second build replaces the first instead of leaking it.
  Release();
  HMODULE advapi = ::LoadLibraryW(L"advapi32.dll");
  if (!advapi) return false;
  auto set_entries = reinterpret_cast<SetEntriesInAclAFn>(
      reinterpret_cast<void*>(::GetProcAddress(advapi, "SetEntriesInAclA")));
  if (!set_entries) {
    ::FreeLibrary(advapi);
    return false;
  }
  bool built = false;
  sa = static_cast<SECURITY_ATTRIBUTES*>(::LocalAlloc(LPTR, sizeof(SECURITY_ATTRIBUTES)));
  if (sa) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                   &everyone_sid)) {
      everyone.Trustee.TrusteeForm = TRUSTEE_IS_SID;
      everyone.Trustee.ptstrName = static_cast<LPSTR>(everyone_sid);
      if (::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                     0, 0, 0, 0, 0, 0, &admins_sid)) {
        admins.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        admins.Trustee.ptstrName = static_cast<LPSTR>(admins_sid);
        EXPLICIT_ACCESS_A entries[2] = {admins, everyone};
        if (set_entries(2, entries, nullptr, &dacl) == ERROR_SUCCESS && dacl) {
          sd = ::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
          if (sd && ::InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION) &&
              ::SetSecurityDescriptorDacl(sd, /*bDaclPresent=*/TRUE, dacl,
                                          /*bDaclDefaulted=*/FALSE)) {
            sa->nLength = sizeof(SECURITY_ATTRIBUTES);
            sa->lpSecurityDescriptor = sd;
            sa->bInheritHandle = FALSE;
            built = true;
          }
        }
      }
    }
  }
  if (!built) Release();
  ::FreeLibrary(advapi);
  return built;
}

void W32SecAttr::Release() {
  if (sd) ::LocalFree(sd);
  sd = nullptr;
  if (dacl) ::LocalFree(dacl);
  dacl = nullptr;
  if (admins_sid) ::FreeSid(admins_sid);
  admins_sid = nullptr;
  if (everyone_sid) ::FreeSid(everyone_sid);
  everyone_sid = nullptr;
  if (sa) ::LocalFree(sa);
  sa = nullptr;
}
