// Security for named objects and folders shared by every session and account.
#pragma once

#include <windows.h>
#include <aclapi.h>

// Process-wide attributes with a null DACL (no access checks), handles
// inheritable. Null when the descriptor cannot be built; retried next call.
SECURITY_ATTRIBUTES* GetOpenSecurityAttributes();

// Builds attributes whose DACL grants chosen rights to Administrators and Everyone.
class W32SecAttr {
 public:
  W32SecAttr() = default;
  virtual ~W32SecAttr();
  W32SecAttr(const W32SecAttr&) = delete;
  W32SecAttr& operator=(const W32SecAttr&) = delete;

  virtual bool Build(DWORD admin_rights, DWORD everyone_rights, ACCESS_MODE mode, DWORD inheritance);
  virtual bool Build(DWORD admin_rights, DWORD everyone_rights);
  virtual bool BuildFromEntries(EXPLICIT_ACCESS_A& admins, EXPLICIT_ACCESS_A& everyone);
  virtual void Release();

  SECURITY_ATTRIBUTES* sa = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  PACL dacl = nullptr;
  PSID admins_sid = nullptr;
  PSID everyone_sid = nullptr;
};

template <typename T>
class HandleBase {
 public:
  virtual ~HandleBase() = default;
  virtual T* Get() = 0;
};

// Owns a handle released by `close` at destruction (called even for null).
template <typename T, typename Close = int(WINAPI*)(T)>
class HandleImpl : public HandleBase<T> {
 public:
  HandleImpl(T handle, Close close) : handle_(handle), close_(close) {}
  ~HandleImpl() override { close_(handle_); }
  HandleImpl(const HandleImpl&) = delete;
  HandleImpl& operator=(const HandleImpl&) = delete;
  T* Get() override { return &handle_; }

 private:
  T handle_;
  Close close_;
};
