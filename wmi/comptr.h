// ComPtr<I>: the owner of one reference to a COM interface, as WRL's ComPtr
// is on Windows. It releases what it holds when it goes out of scope or is
// given another pointer, adds a reference when copied, and moves without
// touching the count. It relies only on IUnknown's AddRef, Release and
// QueryInterface, so it serves the simulated, WS-Management and real WMI
// providers alike. Like a raw interface pointer it is not synchronised:
// one thread at a time uses a given ComPtr object (the interface behind it
// may be shared, its count is the object's own business).
#pragma once

#include <wbemidl.h>

#include <utility>

namespace wmi {

template <class Interface>
class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}  // NOLINT(google-explicit-constructor): as a raw pointer
    // Takes a reference of its own to `held` (AddRef).
    explicit ComPtr(Interface* held) : pointer(held) { AddRefHeld(); }
    ComPtr(const ComPtr& other) : pointer(other.pointer) { AddRefHeld(); }
    ComPtr(ComPtr&& other) noexcept : pointer(std::exchange(other.pointer, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& other) {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }

    // Takes over a reference the caller already owns (no AddRef): what a
    // call that hands out an interface, such as Next or ExecQuery, gives.
    static ComPtr Adopt(Interface* owned) {
        ComPtr result;
        result.pointer = owned;
        return result;
    }

    Interface* Get() const { return pointer; }
    Interface* operator->() const { return pointer; }
    explicit operator bool() const { return pointer != nullptr; }

    // Releases what is held and returns the address of the empty pointer,
    // for a call that stores a new reference there (ExecQuery(..., &out)).
    Interface** ReleaseAndGetAddressOf() {
        Reset();
        return &pointer;
    }
    // Gives the reference to the caller, who releases it; leaves this empty.
    Interface* Detach() { return std::exchange(pointer, nullptr); }
    // Releases what is held; leaves this empty.
    void Reset() {
        if (Interface* old = std::exchange(pointer, nullptr)) old->Release();
    }
    void Swap(ComPtr& other) noexcept { std::swap(pointer, other.pointer); }

    // Asks the object for interface `iid` of type Other; *out, emptied
    // first, holds the answer. QueryInterface's result; E_POINTER when this
    // is empty.
    template <class Other>
    HRESULT QueryInterface(REFIID iid, ComPtr<Other>* out) const {
        Other** slot = out->ReleaseAndGetAddressOf();
        if (pointer == nullptr) return E_POINTER;
        return pointer->QueryInterface(iid, reinterpret_cast<void**>(slot));
    }

  private:
    void AddRefHeld() {
        if (pointer != nullptr) pointer->AddRef();
    }

    Interface* pointer = nullptr;
};

}  // namespace wmi
