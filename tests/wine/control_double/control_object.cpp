// The RaidenModeX object of the test double and its class factory.
//
// Log format, one line per call of dispatch method 8, UTF-8, fields split by
// a tab: perms, user, group, path, first short, second short, then the
// variant types that arrived through IDispatch::Invoke in the caller's order
// of preparation (for example "BSTR&,BSTR,BSTR&,BSTR,I2,I2"), or "vtable"
// when the method was called directly. The log file is named by the
// environment variable OVPRE_CONTROL_LOG. When OVPRE_CONTROL_FAIL_ON is set
// and the path contains its text, the call is logged and then fails; when
// OVPRE_CONTROL_BLOCK_ON is set and the path contains its text, the call is
// logged and then answers only after five minutes, as a busy server would.
#include <string>

#include "control_double.h"

namespace control_double {

namespace {

std::wstring Environment(const wchar_t* name) {
  wchar_t buffer[4096];
  const DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
  if (length == 0 || length >= 4096) return L"";
  return std::wstring(buffer, length);
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return "";
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                      nullptr, nullptr);
  return out;
}

std::wstring Text(BSTR value) { return value ? std::wstring(value, SysStringLen(value)) : L""; }

void AppendToLog(const std::string& line) {
  const std::wstring path = Environment(L"OVPRE_CONTROL_LOG");
  if (path.empty()) return;
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

std::string TypeName(VARTYPE type) {
  const std::string reference = (type & VT_BYREF) ? "&" : "";
  switch (type & ~VT_BYREF) {
    case VT_BSTR: return "BSTR" + reference;
    case VT_I2: return "I2" + reference;
    case VT_I4: return "I4" + reference;
    case VT_VARIANT: return "VARIANT" + reference;
    default: return "VT" + std::to_string(type & ~VT_BYREF) + reference;
  }
}

/// The variant types of a call, in the order the caller prepared them
/// (DISPPARAMS holds them last first).
std::string ArgumentTypes(const DISPPARAMS* params) {
  std::string types;
  for (UINT i = params->cArgs; i > 0; --i) {
    if (!types.empty()) types += ",";
    types += TypeName(params->rgvarg[i - 1].vt);
  }
  return types;
}

class RaidenModeXDouble final : public IRaidenModeX {
 public:
  explicit RaidenModeXDouble(ITypeInfo* type_info) : type_info_(type_info) {
    InterlockedIncrement(&g_alive);
  }
  ~RaidenModeXDouble() {
    type_info_->Release();
    InterlockedDecrement(&g_alive);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(IRaidenModeX)) {
      *out = static_cast<IRaidenModeX*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    if (index != 0) return DISP_E_BADINDEX;
    type_info_->AddRef();
    *out = type_info_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    return DispGetIDsOfNames(type_info_, names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception,
                                   UINT* bad_argument) override {
    // The type library does the argument checks and conversions, as for any
    // dual interface; only the types as they arrived are noted first.
    invoke_types_ = ArgumentTypes(params);
    const HRESULT hr = DispInvoke(static_cast<IRaidenModeX*>(this), type_info_, id, flags,
                                  params, result, exception, bad_argument);
    invoke_types_.clear();
    return hr;
  }

  HRESULT STDMETHODCALLTYPE SetOwnership(BSTR* perms, BSTR user, BSTR* group, BSTR path,
                                         short first_flag, short second_flag) override {
    const std::wstring path_text = Text(path);
    AppendToLog(Utf8(Text(*perms)) + "\t" + Utf8(Text(user)) + "\t" + Utf8(Text(*group)) +
                "\t" + Utf8(path_text) + "\t" + std::to_string(first_flag) + "\t" +
                std::to_string(second_flag) + "\t" +
                (invoke_types_.empty() ? "vtable" : invoke_types_) + "\n");
    // The by-reference strings are the control's to change; a caller that
    // reuses them would pass the changed values on.
    ReplaceString(perms, L"changed-perms");
    ReplaceString(group, L"changed-group");
    const std::wstring block_on = Environment(L"OVPRE_CONTROL_BLOCK_ON");
    if (!block_on.empty() && path_text.find(block_on) != std::wstring::npos) Sleep(5 * 60 * 1000);
    const std::wstring fail_on = Environment(L"OVPRE_CONTROL_FAIL_ON");
    if (!fail_on.empty() && path_text.find(fail_on) != std::wstring::npos) return E_FAIL;
    return S_OK;
  }

 private:
  static void ReplaceString(BSTR* target, const wchar_t* text) {
    SysFreeString(*target);
    *target = SysAllocString(text);
  }

  LONG references_ = 1;
  ITypeInfo* type_info_;
  std::string invoke_types_;
};

HRESULT LoadInterfaceTypeInfo(ITypeInfo** out) {
  wchar_t module_path[MAX_PATH];
  if (GetModuleFileNameW(g_module, module_path, MAX_PATH) == 0) return E_FAIL;
  ITypeLib* library = nullptr;
  HRESULT hr = LoadTypeLibEx(module_path, REGKIND_NONE, &library);
  if (FAILED(hr)) return hr;
  hr = library->GetTypeInfoOfGuid(__uuidof(IRaidenModeX), out);
  library->Release();
  return hr;
}

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    ITypeInfo* type_info = nullptr;
    const HRESULT loaded = LoadInterfaceTypeInfo(&type_info);
    if (FAILED(loaded)) return loaded;
    RaidenModeXDouble* object = new RaidenModeXDouble(type_info);
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&g_alive);
    } else {
      InterlockedDecrement(&g_alive);
    }
    return S_OK;
  }
};

}  // namespace

IClassFactory* ClassFactory() {
  static Factory factory;
  return &factory;
}

}  // namespace control_double
