// A small in-process COM server for the demo payload set. It registers one
// class under its CLSID and ProgID and serves an object whose property Name
// tells which component and which payload variant it came from, so a script
// client can prove that the right file was installed and registered.
//
// Built once per component: ORBEL_SERVER_INDEX picks the row of kServers,
// ORBEL_VARIANT names the payload variant ("32", "64" or "32+64"). With
// ORBEL_SECOND_VERSION it is the server's next version, which registers one
// ProgID more, "<ProgID>.2", and names itself "<component> <variant> v2".

#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <new>

#include "components.h"

namespace {

#ifdef ORBEL_FAIL_REGISTER
const orbel::demo::Server& kServer = orbel::demo::kFailingServer;
#else
const orbel::demo::Server& kServer = orbel::demo::kServers[ORBEL_SERVER_INDEX];
#endif

constexpr DISPID kNameId = 1;

HMODULE g_module = nullptr;
LONG g_liveObjects = 0;
LONG g_serverLocks = 0;

CLSID ServerClsid() {
    CLSID clsid = CLSID_NULL;
    ::CLSIDFromString(kServer.clsid, &clsid);
    return clsid;
}

// "<component> <variant>", for example "msxml6 64".
BSTR NameText() {
    wchar_t text[128];
#ifdef ORBEL_SECOND_VERSION
    ::wsprintfW(text, L"%s %s v2", kServer.baseName, ORBEL_VARIANT);
#else
    ::wsprintfW(text, L"%s %s", kServer.baseName, ORBEL_VARIANT);
#endif
    return ::SysAllocString(text);
}

class NamedObject final : public IDispatch {
public:
    NamedObject() { ::InterlockedIncrement(&g_liveObjects); }
    ~NamedObject() { ::InterlockedDecrement(&g_liveObjects); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ::InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = ::InterlockedDecrement(&refs_);
        if (left == 0) {
            this->~NamedObject();
            ::CoTaskMemFree(this);
        }
        return left;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        HRESULT result = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = (i == 0 && ::lstrcmpiW(names[0], L"Name") == 0) ? kNameId : DISPID_UNKNOWN;
            if (ids[i] == DISPID_UNKNOWN) {
                result = DISP_E_UNKNOWNNAME;
            }
        }
        return result;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result,
                                     EXCEPINFO*, UINT*) override {
        if (id != kNameId) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if ((flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) == 0) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (result) {
            ::VariantInit(result);
            result->vt = VT_BSTR;
            result->bstrVal = NameText();
        }
        return S_OK;
    }

private:
    LONG refs_ = 1;
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is static: it lives as long as the module.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer) {
            return CLASS_E_NOAGGREGATION;
        }
        // COM's allocator rather than operator new keeps the C++ runtime out of the DLL.
        void* memory = ::CoTaskMemAlloc(sizeof(NamedObject));
        if (!memory) {
            return E_OUTOFMEMORY;
        }
        NamedObject* object = new (memory) NamedObject;
        const HRESULT result = object->QueryInterface(iid, out);
        object->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ::InterlockedIncrement(&g_serverLocks);
        } else {
            ::InterlockedDecrement(&g_serverLocks);
        }
        return S_OK;
    }
};

Factory g_factory;

[[maybe_unused]] bool SetValue(HKEY root, const wchar_t* subKey, const wchar_t* name, const wchar_t* value) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const DWORD bytes = static_cast<DWORD>((::lstrlenW(value) + 1) * sizeof(wchar_t));
    const LONG status = ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        ::DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) {
        return E_POINTER;
    }
    *out = nullptr;
    if (!IsEqualCLSID(clsid, ServerClsid())) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return g_factory.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() {
    return (g_liveObjects == 0 && g_serverLocks == 0) ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
#ifdef ORBEL_FAIL_REGISTER
    return SELFREG_E_CLASS;
#else
    wchar_t modulePath[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(g_module, modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return SELFREG_E_CLASS;
    }
    wchar_t description[128];
    ::wsprintfW(description, L"Orbel demo component %s", kServer.baseName);
    wchar_t clsidKey[96];
    wchar_t serverKey[128];
    wchar_t progIdKey[96];
    wchar_t progIdClsidKey[128];
    ::wsprintfW(clsidKey, L"Software\\Classes\\CLSID\\%s", kServer.clsid);
    ::wsprintfW(serverKey, L"%s\\InprocServer32", clsidKey);
    ::wsprintfW(progIdKey, L"Software\\Classes\\%s", kServer.progId);
    ::wsprintfW(progIdClsidKey, L"%s\\CLSID", progIdKey);
    wchar_t clsidProgIdKey[128];
    ::wsprintfW(clsidProgIdKey, L"%s\\ProgID", clsidKey);

    const bool registered = SetValue(HKEY_LOCAL_MACHINE, clsidKey, nullptr, description) &&
                            SetValue(HKEY_LOCAL_MACHINE, serverKey, nullptr, modulePath) &&
                            SetValue(HKEY_LOCAL_MACHINE, serverKey, L"ThreadingModel", L"Apartment") &&
                            SetValue(HKEY_LOCAL_MACHINE, clsidProgIdKey, nullptr, kServer.progId) &&
                            SetValue(HKEY_LOCAL_MACHINE, progIdKey, nullptr, description) &&
                            SetValue(HKEY_LOCAL_MACHINE, progIdClsidKey, nullptr, kServer.clsid);
#ifdef ORBEL_SECOND_VERSION
    wchar_t nextKey[96];
    wchar_t nextClsidKey[128];
    ::wsprintfW(nextKey, L"%s.2", progIdKey);
    ::wsprintfW(nextClsidKey, L"%s\\CLSID", nextKey);
    const bool next = SetValue(HKEY_LOCAL_MACHINE, nextKey, nullptr, description) &&
                      SetValue(HKEY_LOCAL_MACHINE, nextClsidKey, nullptr, kServer.clsid);
#else
    const bool next = true;
#endif
    return registered && next ? S_OK : SELFREG_E_CLASS;
#endif
}

STDAPI DllUnregisterServer() {
    wchar_t clsidKey[96];
    wchar_t progIdKey[96];
    ::wsprintfW(clsidKey, L"Software\\Classes\\CLSID\\%s", kServer.clsid);
    ::wsprintfW(progIdKey, L"Software\\Classes\\%s", kServer.progId);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, clsidKey);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, progIdKey);
#ifdef ORBEL_SECOND_VERSION
    ::lstrcatW(progIdKey, L".2");
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, progIdKey);
#endif
    return S_OK;
}
