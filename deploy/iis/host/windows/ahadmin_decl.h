// The IIS administration COM interfaces (the Windows SDK's ahadmin.h, which
// MinGW-w64 does not ship). The identifiers are those of the SDK header and
// of the published IIS Application Host COM protocol; every interface we
// call is declared with its whole vtable in the SDK's order, since a missing
// or misplaced entry would call the wrong method. Interfaces we only pass
// along are declared, not defined.
#pragma once

#include <windows.h>

#include <oaidl.h>
#include <unknwn.h>

namespace qm::ahadmin {

struct IAppHostChildElementCollection;
struct IAppHostCollectionSchema;
struct IAppHostConfigManager;
struct IAppHostElementSchema;
struct IAppHostMethodSchema;
struct IAppHostPropertyCollection;
struct IAppHostPropertyException;
struct IAppHostPropertySchema;

// CLSID of "Microsoft.ApplicationHost.WritableAdminManager".
inline constexpr CLSID kClsidWritableAdminManager = {
    0x2b72133b, 0x3f5b, 0x4602, {0x89, 0x52, 0x80, 0x35, 0x46, 0xce, 0x33, 0x44}};
inline constexpr IID kIidAdminManager = {
    0x9be77978, 0x73ed, 0x4a9a, {0x87, 0xfd, 0x13, 0xf0, 0x9f, 0xec, 0x1b, 0x13}};
inline constexpr IID kIidWritableAdminManager = {
    0xfa7660f6, 0x7b3f, 0x4237, {0xa8, 0xbf, 0xed, 0x0a, 0xd0, 0xdc, 0xbb, 0xd9}};
inline constexpr IID kIidElement = {
    0x64ff8ccc, 0xb287, 0x4dae, {0xb0, 0x8a, 0xa7, 0x2c, 0xbf, 0x45, 0xf4, 0x53}};
inline constexpr IID kIidElementCollection = {
    0xc8550bff, 0x5281, 0x4b1e, {0xac, 0x34, 0x99, 0xb6, 0xfa, 0x38, 0x46, 0x4d}};
inline constexpr IID kIidProperty = {
    0xed35f7a1, 0x5024, 0x4e7b, {0xa4, 0x4d, 0x07, 0xdd, 0xaf, 0x4b, 0x52, 0x4d}};
inline constexpr IID kIidMethodCollection = {
    0xd6c7cd8f, 0xbb8d, 0x4f96, {0xb5, 0x91, 0xd3, 0xa5, 0xf1, 0x32, 0x02, 0x69}};
inline constexpr IID kIidMethod = {
    0x7883ca1c, 0x1112, 0x4447, {0x84, 0xc3, 0x52, 0xfb, 0xeb, 0x38, 0x06, 0x9d}};
inline constexpr IID kIidMethodInstance = {
    0xb80f3c42, 0x60e0, 0x4ae0, {0x90, 0x07, 0xf5, 0x28, 0x52, 0xd3, 0xdb, 0xed}};

struct IAppHostElement;
struct IAppHostMethodCollection;

struct IAppHostProperty : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Value(VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Value(VARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clear() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_StringValue(BSTR* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Exception(IAppHostPropertyException** exception) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMetadata(BSTR type, VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMetadata(BSTR type, VARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Schema(IAppHostPropertySchema** schema) = 0;
};

struct IAppHostElementCollection : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Count(DWORD* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Item(VARIANT index, IAppHostElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddElement(IAppHostElement* element, INT position) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteElement(VARIANT index) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clear() = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateNewElement(BSTR name, IAppHostElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Schema(IAppHostCollectionSchema** schema) = 0;
};

struct IAppHostElement : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Collection(IAppHostElementCollection** collection) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Properties(IAppHostPropertyCollection** properties) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    get_ChildElements(IAppHostChildElementCollection** elements) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMetadata(BSTR type, VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMetadata(BSTR type, VARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Schema(IAppHostElementSchema** schema) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetElementByName(BSTR name, IAppHostElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyByName(BSTR name, IAppHostProperty** property) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clear() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Methods(IAppHostMethodCollection** methods) = 0;
};

struct IAppHostMethodInstance : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Input(IAppHostElement** input) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Output(IAppHostElement** output) = 0;
    virtual HRESULT STDMETHODCALLTYPE Execute() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMetadata(BSTR type, VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMetadata(BSTR type, VARIANT value) = 0;
};

struct IAppHostMethod : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Schema(IAppHostMethodSchema** schema) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IAppHostMethodInstance** instance) = 0;
};

struct IAppHostMethodCollection : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Count(DWORD* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Item(VARIANT index, IAppHostMethod** method) = 0;
};

struct IAppHostAdminManager : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetAdminSection(BSTR section, BSTR path,
                                                      IAppHostElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMetadata(BSTR type, VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMetadata(BSTR type, VARIANT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ConfigManager(IAppHostConfigManager** manager) = 0;
};

struct IAppHostWritableAdminManager : public IAppHostAdminManager {
    virtual HRESULT STDMETHODCALLTYPE CommitChanges() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CommitPath(BSTR* path) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_CommitPath(BSTR path) = 0;
};

}  // namespace qm::ahadmin
