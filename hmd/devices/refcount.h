// Shared base types of the HMD library: allocation through the library allocator and the
// atomic reference count of its shared objects.
#pragma once

#include "hmd/devices/allocator.h"

#include <atomic>
#include <cstddef>

namespace Visor {

// Classes derived from this are allocated through the library allocator. Allocation failure
// yields a null new-expression result (the operators are noexcept), never an exception.
class NewOverrideBase {
public:
    static void* operator new(std::size_t size) noexcept {
        return Allocator::AllocFromLibrary(size);
    }
    static void operator delete(void* p) noexcept { Allocator::FreeToLibrary(p); }
    static void* operator new(std::size_t, void* place) noexcept { return place; }
    static void operator delete(void*, void*) noexcept {}
};

// Atomic reference count that starts at 1 for the creator; the last Release deletes the
// object. Any thread may call AddRef and Release.
template <class C> class RefCountBase : public NewOverrideBase {
public:
    RefCountBase() = default;
    RefCountBase(const RefCountBase&) = delete;
    RefCountBase& operator=(const RefCountBase&) = delete;
    virtual ~RefCountBase() = default;

    void AddRef() { RefCount.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        // acq_rel: the deleting thread must see every write made before other releases.
        if (RefCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
    int GetRefCount() const { return RefCount.load(std::memory_order_relaxed); }

private:
    std::atomic<int> RefCount{1};
};

// Counted pointer for RefCountBase objects. Construction from a raw pointer takes a new
// reference; use Adopt to take over the creator's reference of a fresh object.
template <class C> class Ptr {
public:
    Ptr() = default;
    explicit Ptr(C* p) : P(p) {
        if (P)
            P->AddRef();
    }
    Ptr(const Ptr& o) : Ptr(o.P) {}
    Ptr(Ptr&& o) noexcept : P(o.P) { o.P = nullptr; }
    ~Ptr() { Clear(); }
    Ptr& operator=(const Ptr& o) {
        Ptr copy(o);
        Swap(copy);
        return *this;
    }
    Ptr& operator=(Ptr&& o) noexcept {
        Ptr moved(static_cast<Ptr&&>(o));
        Swap(moved);
        return *this;
    }
    static Ptr Adopt(C* p) {
        Ptr r;
        r.P = p;
        return r;
    }
    void Clear() {
        if (P)
            P->Release();
        P = nullptr;
    }
    // Gives up the held reference without releasing it.
    C* Detach() {
        C* p = P;
        P = nullptr;
        return p;
    }
    void Swap(Ptr& o) {
        C* t = P;
        P = o.P;
        o.P = t;
    }
    C* GetPtr() const { return P; }
    C* operator->() const { return P; }
    C& operator*() const { return *P; }
    explicit operator bool() const { return P != nullptr; }

private:
    C* P = nullptr;
};

} // namespace Visor
