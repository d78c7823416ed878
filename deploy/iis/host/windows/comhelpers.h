// Owners for the COM values the IIS administration hands out: an interface
// pointer, a BSTR and a VARIANT, each released when it goes away.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>
#include <string_view>

namespace qm::iiswin {

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For an out parameter: what was held is released first.
    T** Put() {
        Reset();
        return &p_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    void Reset() {
        if (p_) {
            p_->Release();
            p_ = nullptr;
        }
    }

private:
    T* p_ = nullptr;
};

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::u16string_view text)
        : b_(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                               static_cast<UINT>(text.size()))) {}
    ~Bstr() { SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    BSTR Get() const { return b_; }
    BSTR* Put() {
        SysFreeString(b_);
        b_ = nullptr;
        return &b_;
    }
    std::u16string Text() const {
        return b_ ? std::u16string(reinterpret_cast<const char16_t*>(b_), SysStringLen(b_))
                  : std::u16string();
    }

private:
    BSTR b_ = nullptr;
};

class Variant {
public:
    Variant() { VariantInit(&v_); }
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    static void Text(Variant& v, std::u16string_view text) {
        VariantClear(&v.v_);
        v.v_.vt = VT_BSTR;
        v.v_.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                         static_cast<UINT>(text.size()));
    }
    static void Int(Variant& v, LONG value) {
        VariantClear(&v.v_);
        v.v_.vt = VT_I4;
        v.v_.lVal = value;
    }
    static void UInt(Variant& v, ULONG value) {
        VariantClear(&v.v_);
        v.v_.vt = VT_UI4;
        v.v_.ulVal = value;
    }

    // This value as another type (VariantChangeType, locale-neutral).
    HRESULT ConvertTo(VARTYPE type, Variant& out) {
        return VariantChangeType(out.Put(), &v_, 0, type);
    }
    // The text of a VT_BSTR value; empty for any other.
    std::u16string Text() const {
        if (v_.vt != VT_BSTR || !v_.bstrVal)
            return {};
        return std::u16string(reinterpret_cast<const char16_t*>(v_.bstrVal),
                              SysStringLen(v_.bstrVal));
    }

    // Passed by value to the interfaces, which copy what they keep.
    const VARIANT& Get() const { return v_; }
    VARIANT* Put() {
        VariantClear(&v_);
        return &v_;
    }

private:
    VARIANT v_;
};

}  // namespace qm::iiswin
