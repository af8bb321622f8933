// The DLL around the test double: the entry points COM and regsvr32 call.
// Registering writes the class's in-process server key and registers the
// type library embedded in this DLL, as an installed control would be, and
// the decoy library from decoy.tlb beside the DLL.
#include <string>

#include "control_double.h"

namespace control_double {

HINSTANCE g_module = nullptr;
LONG g_alive = 0;

namespace {

std::wstring ClassKeyPath() {
  wchar_t clsid[64];
  StringFromGUID2(__uuidof(RaidenModeX), clsid, 64);
  return std::wstring(L"CLSID\\") + clsid;
}

HRESULT SetValue(HKEY root, const std::wstring& key_path, const wchar_t* name,
                 const std::wstring& value) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(root, key_path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                &key, nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return HRESULT_FROM_WIN32(status);
}

/// The decoy type library's file: decoy.tlb in the DLL's folder.
std::wstring DecoyPath(const std::wstring& module_path) {
  return module_path.substr(0, module_path.find_last_of(L'\\') + 1) + L"decoy.tlb";
}

HRESULT RegisterTypeLibrary(const std::wstring& path) {
  ITypeLib* library = nullptr;
  const HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &library);
  if (SUCCEEDED(hr)) library->Release();
  return hr;
}

HRESULT UnregisterTypeLibrary(const std::wstring& path) {
  ITypeLib* library = nullptr;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
  if (FAILED(hr)) return hr;
  TLIBATTR* attributes = nullptr;
  hr = library->GetLibAttr(&attributes);
  if (SUCCEEDED(hr)) {
    hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum,
                           attributes->wMinorVerNum, attributes->lcid, attributes->syskind);
    library->ReleaseTLibAttr(attributes);
  }
  library->Release();
  return hr;
}

}  // namespace

}  // namespace control_double

using namespace control_double;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  *out = nullptr;
  if (clsid != __uuidof(RaidenModeX)) return CLASS_E_CLASSNOTAVAILABLE;
  return ClassFactory()->QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() { return g_alive == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  wchar_t module_path[MAX_PATH];
  if (GetModuleFileNameW(g_module, module_path, MAX_PATH) == 0) return E_FAIL;
  const std::wstring server_key = ClassKeyPath() + L"\\InprocServer32";
  HRESULT hr = SetValue(HKEY_CLASSES_ROOT, ClassKeyPath(), nullptr, L"RaidenModeX Control");
  if (SUCCEEDED(hr)) hr = SetValue(HKEY_CLASSES_ROOT, server_key, nullptr, module_path);
  if (SUCCEEDED(hr)) hr = SetValue(HKEY_CLASSES_ROOT, server_key, L"ThreadingModel", L"Apartment");
  if (SUCCEEDED(hr)) hr = RegisterTypeLibrary(module_path);
  if (SUCCEEDED(hr)) hr = RegisterTypeLibrary(DecoyPath(module_path));
  return hr;
}

STDAPI DllUnregisterServer() {
  wchar_t module_path[MAX_PATH];
  if (GetModuleFileNameW(g_module, module_path, MAX_PATH) == 0) return E_FAIL;
  const HRESULT library = UnregisterTypeLibrary(module_path);
  const HRESULT decoy = UnregisterTypeLibrary(DecoyPath(module_path));
  const LONG removed = RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKeyPath().c_str());
  if (FAILED(library)) return library;
  if (FAILED(decoy)) return decoy;
  return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND
             ? S_OK
             : HRESULT_FROM_WIN32(removed);
}
