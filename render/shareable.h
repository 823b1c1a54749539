// Intrusive reference counting of render-core objects and the one-pointer reference that holds
// them. Render thread only: the count is a plain integer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ombrel {

// Base of every shared render-core object. A new object has a count of 0 (owned by nobody);
// storing it in its first Ref makes it 1, and the release that brings it back to 0 deletes it.
class Shareable {
public:
    Shareable() = default;
    virtual ~Shareable() = default;
    Shareable(const Shareable&) = delete;
    Shareable& operator=(const Shareable&) = delete;

    void retain() { ++count_; }
    // Deletes the object inside the call when this was the last reference.
    void release() {
        if (count_-- == 1)
            delete this;
    }
    int32_t refCount() const { return count_; }

private:
    int32_t count_ = 0;
};

template <class T> class Ref {
public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    Ref(T* p) : p_(p) {
        if (p_)
            p_->retain();
    }
    Ref(const Ref& o) : Ref(o.p_) {}
    template <class U> Ref(const Ref<U>& o) : Ref(o.get()) {}
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() {
        if (p_)
            p_->release();
    }

    Ref& operator=(T* p) {
        if (p == p_)
            return *this;
        // The new object is retained and stored before the old one is released: releasing the
        // old one may delete it and, with it, the last other reference to the new one; and a
        // destructor that runs inside the release never sees this reference dangling.
        T* old = p_;
        if (p)
            p->retain();
        p_ = p;
        if (old)
            old->release();
        return *this;
    }
    Ref& operator=(const Ref& o) { return *this = o.p_; }
    template <class U> Ref& operator=(const Ref<U>& o) { return *this = o.get(); }
    Ref& operator=(std::nullptr_t) { return *this = static_cast<T*>(nullptr); }
    Ref& operator=(Ref&& o) noexcept {
        if (this == &o)
            return *this;
        T* old = p_;
        p_ = o.p_;
        o.p_ = nullptr;
        if (old)
            old->release();
        return *this;
    }

    void reset() { *this = nullptr; }

    // The raw pointer, for code that reaches the object's graphics-API names.
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

    friend bool operator==(const Ref& a, const Ref& b) { return a.p_ == b.p_; }
    friend bool operator!=(const Ref& a, const Ref& b) { return a.p_ != b.p_; }
    friend bool operator==(const Ref& a, std::nullptr_t) { return a.p_ == nullptr; }
    friend bool operator!=(const Ref& a, std::nullptr_t) { return a.p_ != nullptr; }
    friend bool operator==(std::nullptr_t, const Ref& a) { return a.p_ == nullptr; }
    friend bool operator!=(std::nullptr_t, const Ref& a) { return a.p_ != nullptr; }
    friend bool operator==(const Ref& a, const T* b) { return a.p_ == b; }
    friend bool operator!=(const Ref& a, const T* b) { return a.p_ != b; }

private:
    T* p_ = nullptr;
};

} // namespace ombrel
