// The FTP server's control on Windows: the ActiveX control RaidenModeX of the
// type library RAIDENMODEXLib, which the server installs and registers. It
// is found by those two names among the registered type libraries, created
// once per run and called late-bound through IDispatch (method 8), the way
// the server's own hosts call it. All of that happens on a thread of its
// own and within 30 s for the whole run, so that a server that does not
// answer cannot hold the run. When the control is missing, cannot be
// created, fails a call or runs out of time, the pre reports that owner and
// permissions were not set; so does a newowner or newperms that the control
// could only misread, which it is never given.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "os/win32/io.h"
#include "os/win32/control_thread.h"
#include "os/win32/text.h"
#include "platform/native.h"

namespace ovpre {

namespace {

constexpr const wchar_t* kLibraryName = L"RAIDENMODEXLib";
constexpr const wchar_t* kClassName = L"RaidenModeX";
constexpr DISPID kSetOwnershipId = 8;

/// Holds one COM interface pointer and releases it.
template <class Interface>
class ComRef {
 public:
  ComRef() = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ~ComRef() { Reset(); }

  Interface* get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  /// For a call that hands out a new reference; drops the current one first.
  Interface** Receive() {
    Reset();
    return &pointer_;
  }
  void Reset() {
    if (pointer_) pointer_->Release();
    pointer_ = nullptr;
  }

 private:
  Interface* pointer_ = nullptr;
};

/// Holds one BSTR and frees whatever it holds at the end, including a
/// string that a callee put in its place through a by-reference argument.
class OwnedBstr {
 public:
  OwnedBstr() = default;
  explicit OwnedBstr(const std::string& utf8) {
    const std::wstring wide = WideFromUtf8(utf8);
    value_ = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  }
  OwnedBstr(const OwnedBstr&) = delete;
  OwnedBstr& operator=(const OwnedBstr&) = delete;
  ~OwnedBstr() { SysFreeString(value_); }

  BSTR get() const { return value_; }
  BSTR* address() { return &value_; }
  /// True when an allocation asked for by the constructor succeeded.
  bool Allocated() const { return value_ != nullptr; }

 private:
  BSTR value_ = nullptr;
};

/// COM on this thread, single-threaded apartment, for as long as it lives.
class ComApartment {
 public:
  ComApartment() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    hr_ = hr;
    // S_FALSE means COM was already set up on this thread; it still has to
    // be balanced. A different threading model already in place is usable
    // but is not ours to undo.
    owned_ = SUCCEEDED(hr);
    usable_ = owned_ || hr == RPC_E_CHANGED_MODE;
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (owned_) CoUninitialize();
  }
  bool Usable() const { return usable_; }
  HRESULT Result() const { return hr_; }

 private:
  HRESULT hr_ = S_OK;
  bool owned_ = false;
  bool usable_ = false;
};

/// Names of the subkeys of `key`, in registry order.
std::vector<std::wstring> SubkeyNames(HKEY key) {
  std::vector<std::wstring> names;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    const LONG status =
        RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) continue;  // no type library key is that long
    if (status != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  return names;
}

/// Subkeys of HKEY_CLASSES_ROOT\`path`; none when it cannot be opened.
std::vector<std::wstring> SubkeyNamesOf(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &key) !=
      ERROR_SUCCESS) {
    return {};
  }
  std::vector<std::wstring> names = SubkeyNames(key);
  RegCloseKey(key);
  return names;
}

/// Reads hexadecimal digits into `value`; false when `text` is not that or
/// does not fit.
bool ParseHex(const std::wstring& text, unsigned long limit, unsigned long* value) {
  if (text.empty() || text.size() > 8) return false;
  unsigned long result = 0;
  for (const wchar_t c : text) {
    unsigned long digit = 0;
    if (c >= L'0' && c <= L'9') {
      digit = static_cast<unsigned long>(c - L'0');
    } else if (c >= L'a' && c <= L'f') {
      digit = static_cast<unsigned long>(c - L'a' + 10);
    } else if (c >= L'A' && c <= L'F') {
      digit = static_cast<unsigned long>(c - L'A' + 10);
    } else {
      return false;
    }
    result = result * 16 + digit;
  }
  if (result > limit) return false;
  *value = result;
  return true;
}

/// A version key of a registered type library: "major.minor", both
/// hexadecimal, as the registry stores them.
bool ParseVersion(const std::wstring& text, WORD* major, WORD* minor) {
  const size_t dot = text.find(L'.');
  if (dot == std::wstring::npos) return false;
  unsigned long high = 0;
  unsigned long low = 0;
  if (!ParseHex(text.substr(0, dot), 0xFFFF, &high) ||
      !ParseHex(text.substr(dot + 1), 0xFFFF, &low)) {
    return false;
  }
  *major = static_cast<WORD>(high);
  *minor = static_cast<WORD>(low);
  return true;
}

/// The name a type library or one of its types gives itself (not its help
/// string, which is what the registry shows).
std::wstring DocumentedName(ITypeLib* library, INT index) {
  OwnedBstr name;
  if (FAILED(library->GetDocumentation(index, name.address(), nullptr, nullptr, nullptr))) {
    return L"";
  }
  return name.get() ? std::wstring(name.get(), SysStringLen(name.get())) : L"";
}

/// One registered version of a type library: TypeLib\{guid}\<version>.
struct RegisteredVersion {
  GUID guid;
  std::wstring key_path;
  WORD major = 0;
  WORD minor = 0;
};

/// The default value of HKEY_CLASSES_ROOT\`path`; empty when there is none.
std::wstring DefaultValueOf(const std::wstring& path) {
  wchar_t value[512];
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), nullptr,
                   RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value,
                   &size) != ERROR_SUCCESS) {
    return L"";
  }
  return value;
}

/// True when what the registry shows of `version` names the control's
/// library: its help string, or the file of one of its locales. Only such a
/// library is ever loaded (loading every library of a machine runs code of
/// every one of them, and takes a while); the name that decides is still
/// the library's own.
bool NamesControlLibrary(const RegisteredVersion& version) {
  std::wstring shown = DefaultValueOf(version.key_path);
  for (const std::wstring& locale : SubkeyNamesOf(version.key_path)) {
    for (const wchar_t* platform : {L"\\win32", L"\\win64"}) {
      shown += L"|" + DefaultValueOf(version.key_path + L"\\" + locale + platform);
    }
  }
  for (wchar_t& c : shown) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return shown.find(L"raidenmodex") != std::wstring::npos;
}

/// The registered type library versions that name the control's library.
std::vector<RegisteredVersion> RegisteredVersions() {
  std::vector<RegisteredVersion> versions;
  for (const std::wstring& guid_text : SubkeyNamesOf(L"TypeLib")) {
    RegisteredVersion version;
    if (FAILED(IIDFromString(guid_text.c_str(), &version.guid))) continue;
    const std::wstring guid_path = L"TypeLib\\" + guid_text;
    for (const std::wstring& number : SubkeyNamesOf(guid_path)) {
      if (!ParseVersion(number, &version.major, &version.minor)) continue;
      version.key_path = guid_path + L"\\" + number;
      if (NamesControlLibrary(version)) versions.push_back(version);
    }
  }
  return versions;
}

/// Loads `version` when the library's own name is the control's. A version
/// key holds one subkey per locale (hexadecimal).
bool LoadIfControlLibrary(const RegisteredVersion& version, ComRef<ITypeLib>* library) {
  for (const std::wstring& locale_name : SubkeyNamesOf(version.key_path)) {
    unsigned long locale = 0;
    if (!ParseHex(locale_name, 0xFFFFFFFF, &locale)) continue;  // FLAGS, HELPDIR
    if (FAILED(LoadRegTypeLib(version.guid, version.major, version.minor,
                              static_cast<LCID>(locale), library->Receive()))) {
      continue;
    }
    if (DocumentedName(library->get(), -1) == kLibraryName) return true;
    library->Reset();
  }
  return false;
}

/// The class identifier of the control's coclass in `library`.
bool FindControlClass(ITypeLib* library, CLSID* clsid) {
  const UINT count = library->GetTypeInfoCount();
  for (UINT index = 0; index < count; ++index) {
    TYPEKIND kind;
    if (FAILED(library->GetTypeInfoType(index, &kind)) || kind != TKIND_COCLASS) continue;
    if (DocumentedName(library, static_cast<INT>(index)) != kClassName) continue;
    ComRef<ITypeInfo> type;
    TYPEATTR* attributes = nullptr;
    if (FAILED(library->GetTypeInfo(index, type.Receive())) ||
        FAILED(type->GetTypeAttr(&attributes))) {
      return false;
    }
    *clsid = attributes->guid;
    type->ReleaseTypeAttr(attributes);
    return true;
  }
  return false;
}

/// Walks the registered type libraries for the control's library and takes
/// its class; a library of that name without the class does not end the walk.
bool FindControlClassId(CLSID* clsid) {
  for (const RegisteredVersion& version : RegisteredVersions()) {
    ComRef<ITypeLib> library;
    if (LoadIfControlLibrary(version, &library) && FindControlClass(library.get(), clsid)) {
      return true;
    }
  }
  return false;
}

/// "HRESULT 0x80040154 Class not registered": the code and the system's
/// text for it, for the log.
std::string HresultText(HRESULT hr) {
  wchar_t number[16];
  wsprintfW(number, L"0x%08lX", static_cast<unsigned long>(hr));
  std::string text = "HRESULT " + Utf8FromWide(number);
  const std::string message = SystemMessageText(static_cast<DWORD>(hr));
  return message.empty() ? text : text + " " + message;
}

/// The cause of a failed Invoke; for an exception the control raised, with
/// the description it gave. Frees what the exception record holds.
std::string InvokeFailure(HRESULT hr, EXCEPINFO* exception) {
  std::string text = HresultText(hr);
  if (hr != DISP_E_EXCEPTION) return text;
  if (exception->pfnDeferredFillIn) exception->pfnDeferredFillIn(exception);
  if (exception->scode != 0) text += " (" + HresultText(exception->scode) + ")";
  if (exception->bstrDescription) {
    text += ": " + Utf8FromWide(std::wstring(exception->bstrDescription,
                                             SysStringLen(exception->bstrDescription)));
  }
  SysFreeString(exception->bstrSource);
  SysFreeString(exception->bstrDescription);
  SysFreeString(exception->bstrHelpFile);
  return text;
}

VARIANTARG StringByValue(BSTR value) {
  VARIANTARG arg;
  VariantInit(&arg);
  arg.vt = VT_BSTR;
  arg.bstrVal = value;
  return arg;
}

VARIANTARG StringByReference(BSTR* value) {
  VARIANTARG arg;
  VariantInit(&arg);
  arg.vt = VT_BSTR | VT_BYREF;
  arg.pbstrVal = value;
  return arg;
}

VARIANTARG ShortInteger(SHORT value) {
  VARIANTARG arg;
  VariantInit(&arg);
  arg.vt = VT_I2;
  arg.iVal = value;
  return arg;
}

/// The control and its apartment, which live on the control's thread.
struct ControlState {
  std::unique_ptr<ComApartment> apartment;
  IDispatch* control = nullptr;
  HRESULT result = S_OK;
};

/// One call's arguments and outcome, shared with the control's thread.
struct ControlCall {
  ControlCall(const OwnershipGrant& grant, const std::string& target)
      : perms(grant.perms), user(grant.user), group(grant.group), path(target) {}
  OwnedBstr perms, user, group, path;
  HRESULT result = S_OK;
  std::string failure;
};

/// Calls dispatch method 8 of `control` with the call's arguments; on the
/// control's thread.
void InvokeSetOwnership(IDispatch* control, ControlCall& call) {
  // Dispatch arguments are stored last first.
  VARIANTARG args[6] = {
      ShortInteger(0),
      ShortInteger(1),
      StringByValue(call.path.get()),
      StringByReference(call.group.address()),
      StringByValue(call.user.get()),
      StringByReference(call.perms.address()),
  };
  DISPPARAMS params = {args, nullptr, 6, 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO exception = {};
  UINT bad_argument = 0;
  call.result = control->Invoke(kSetOwnershipId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                &params, &result, &exception, &bad_argument);
  VariantClear(&result);
  if (FAILED(call.result)) call.failure = InvokeFailure(call.result, &exception);
  // The arguments only point at the call's strings, which free themselves.
}

class ComOwnershipControl final : public OwnershipControl {
 public:
  ComOwnershipControl(std::unique_ptr<ControlThread> thread, std::shared_ptr<ControlState> state)
      : thread_(std::move(thread)), state_(std::move(state)) {}
  ~ComOwnershipControl() override {
    // The control goes before the apartment that it lives in, both on
    // their own thread.
    const std::shared_ptr<ControlState> state = state_;
    thread_->Run([state] {
      state->control->Release();
      state->apartment.reset();
    });
  }

  bool SetOwnership(const OwnershipGrant& grant, const OwnershipTarget& target,
                    OwnershipScope scope, std::string* cause) override {
    // Fresh strings for every call: the by-reference ones may come back
    // changed, and the next call must still pass the configured values.
    const std::string path = target.Path('\\');
    // The server's control reads "folder\*" as everything inside the folder.
    const bool inside = scope == OwnershipScope::kEverythingInside;
    const auto call = std::make_shared<ControlCall>(grant, inside ? path + "\\*" : path);
    if (!call->perms.Allocated() || !call->user.Allocated() || !call->group.Allocated() ||
        !call->path.Allocated()) {
      if (cause) *cause = HresultText(E_OUTOFMEMORY);
      return false;
    }
    // A call that never ends keeps the control's state alive with it: the
    // apartment must not be torn down from this thread.
    const std::shared_ptr<ControlState> state = state_;
    if (!thread_->Run([state, call] { InvokeSetOwnership(state->control, *call); })) {
      if (cause) *cause = thread_->Failure();
      return false;
    }
    if (FAILED(call->result) && cause) *cause = call->failure;
    return SUCCEEDED(call->result);
  }

 private:
  std::unique_ptr<ControlThread> thread_;
  std::shared_ptr<ControlState> state_;
};

/// Creates the control from its registered type library; nothing when any
/// step fails, with the HRESULT of the failure in `result`. A control whose
/// library is not registered gives the HRESULT "class not registered".
IDispatch* CreateControl(HRESULT* result) {
  CLSID clsid;
  *result = REGDB_E_CLASSNOTREG;
  if (!FindControlClassId(&clsid)) return nullptr;
  // An ActiveX control is an in-process server; a local server could keep
  // the run waiting on another process.
  IDispatch* control = nullptr;
  *result = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             reinterpret_cast<void**>(&control));
  return SUCCEEDED(*result) ? control : nullptr;
}

/// Why the control could not be created, in words first: the siteop reads
/// this in the check's report and in the log.
std::string CreateFailure(HRESULT result) {
  if (result != REGDB_E_CLASSNOTREG) return HresultText(result);
  return "RaidenModeX is not registered on this machine "
         "(is RaidenFTPD installed here?): " + HresultText(result);
}

class ComOwnershipFactory final : public OwnershipControlFactory {
 public:
  /// What the control cannot use it may read as something else (an empty
  /// group, a mode of its own making), so it is never handed such values.
  bool Accepts(const OwnershipGrant& grant, std::string* cause) override {
    if (IsUsableGrant(grant)) return true;
    if (cause) {
      *cause = "the server's control is not given the owner \"" + grant.user +
               (grant.group.empty() ? "" : ":" + grant.group) + "\" and permissions \"" +
               grant.perms + "\": newowner must be a user or user:group, newperms 1 to 4 "
               "octal digits";
    }
    return false;
  }

  std::unique_ptr<OwnershipControl> Create(std::string* cause) override {
    auto thread = std::make_unique<ControlThread>();
    auto state = std::make_shared<ControlState>();
    const bool answered = thread->Run([state] {
      state->apartment = std::make_unique<ComApartment>();
      state->result = state->apartment->Result();
      if (state->apartment->Usable()) state->control = CreateControl(&state->result);
    });
    if (answered && state->control) {
      return std::make_unique<ComOwnershipControl>(std::move(thread), std::move(state));
    }
    if (cause) *cause = answered ? CreateFailure(state->result) : thread->Failure();
    // An apartment without a control is left on its own thread too.
    if (answered) thread->Run([state] { state->apartment.reset(); });
    return nullptr;
  }
};

}  // namespace

std::unique_ptr<OwnershipControlFactory> NewServerControlFactory() {
  return std::make_unique<ComOwnershipFactory>();
}


}  // namespace ovpre
