#ifndef KORVO_EXCEPTION_HPP
#define KORVO_EXCEPTION_HPP

#include <cstdint>
#include <typeinfo>

// Every member below is defined in this header, on purpose: with no
// out-of-line key function, each module that throws or catches these classes
// emits its own vtables and type_info, and the runtimes match type_info by
// name. That is what lets a caller catch an error thrown inside a library
// that exports none of these symbols.

namespace korvo {
namespace exception_detail {

class store_ref;

// Error information a catcher attaches to an error on its way up. Stores are
// reference counted by their holders; the error classes only share and
// deep-copy them and never create one. The table order is part of the
// contract between modules: three operations the error classes never call,
// then the three they do.
class error_info_store {
public:
    // What the store holds, for a catcher that wants to show it.
    virtual const char* diagnostic_text() const = 0;
    virtual bool empty() const noexcept = 0;
    // The item attached under a tag, or null.
    virtual const void* find(const std::type_info& tag) const = 0;

    virtual void add_reference() noexcept = 0;
    // True when this was the last holder and the store is gone.
    virtual bool drop_reference() noexcept = 0;
    virtual store_ref deep_copy() const = 0;

protected:
    // Only drop_reference ends a store, so nothing deletes one through this
    // class and the destructor needs no place in the table.
    ~error_info_store() = default;
};

// A counted reference to a store; null holds nothing. There are no move
// operations on purpose: every copy and every assignment counts.
class store_ref {
public:
    store_ref() noexcept : store_(nullptr) {}
    // Takes over one reference the store already counts for its new holder.
    explicit store_ref(error_info_store* adopted) noexcept : store_(adopted) {}

    store_ref(const store_ref& other) noexcept : store_(other.store_) {
        if (store_) store_->add_reference();
    }

    store_ref& operator=(const store_ref& other) noexcept {
        if (this != &other) {
            release();
            store_ = other.store_;
            if (store_) store_->add_reference();
        }
        return *this;
    }

    ~store_ref() { release(); }

    error_info_store* get() const noexcept { return store_; }

private:
    void release() noexcept {
        if (store_ && store_->drop_reference()) store_ = nullptr;
    }

    error_info_store* store_;
};

} // namespace exception_detail

// The part of every error of the family that a catcher can annotate. The
// library fills it with the defaults and copies it along, nothing more.
class exception {
public:
    exception_detail::store_ref info_store;
    const char* aux_1 = nullptr;
    const char* aux_2 = nullptr;
    std::int32_t aux_number = -1;

    virtual ~exception() noexcept = 0;

protected:
    exception() = default;
    // Shares the store: one more reference, no deep copy.
    exception(const exception&) = default;
    exception& operator=(const exception&) = default;
};

inline exception::~exception() noexcept {}

namespace exception_detail {

// Gives `to` its own copy of the error information of `from`, releasing what
// `to` shared before.
inline void copy_error_info(korvo::exception& to, const korvo::exception& from) {
    store_ref copied;
    if (const error_info_store* source = from.info_store.get()) copied = source->deep_copy();
    to.aux_1 = from.aux_1;
    to.aux_2 = from.aux_2;
    to.aux_number = from.aux_number;
    to.info_store = copied;
}

// Adds the annotatable korvo::exception part to an error of type T.
template <class T> struct error_info_injector : public T, public korvo::exception {
    explicit error_info_injector(const T& x) : T(x) {}
    error_info_injector(const error_info_injector&) = default;
    ~error_info_injector() noexcept override {}
};

// Copies or rethrows an error whose concrete type the holder does not know.
class clone_base {
public:
    // A new copy on the heap, owned by the caller and deleted through this
    // class. The copy has error information of its own.
    virtual const clone_base* heap_copy() const = 0;
    // Throws a copy that shares the error information; never returns.
    virtual void throw_copy() const = 0;
    virtual ~clone_base() noexcept = default;

protected:
    clone_base() = default;
    clone_base(const clone_base&) = default;
    clone_base& operator=(const clone_base&) = default;
};

struct deep_copy_marker {};

template <class T> class clone_impl : public T, public virtual clone_base {
public:
    explicit clone_impl(const T& x) : T(x) { copy_error_info(*this, x); }
    clone_impl(const clone_impl&) = default;
    clone_impl(const clone_impl& x, deep_copy_marker) : T(x) { copy_error_info(*this, x); }
    ~clone_impl() noexcept override {}

    const clone_base* heap_copy() const override { return new clone_impl(*this, deep_copy_marker()); }
    void throw_copy() const override { throw *this; }
};

} // namespace exception_detail
} // namespace korvo

#endif
