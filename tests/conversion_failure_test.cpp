#include <korvo/array.hpp>
#include <korvo/bad_spellout.hpp>
#include <korvo/exception.hpp>
#include <korvo/spellout.hpp>
#include <korvo/throw_wrapped.hpp>

#include "support/counting_allocation.hpp"
#include "support/raising_library.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#if defined(__linux__)
#include <dlfcn.h>
#endif

// Catching these classes by value is part of what is under test.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wcatch-value"
#endif

namespace {

using korvo::bad_spellout;
using korvo::exception_detail::clone_base;
using korvo::exception_detail::clone_impl;
using korvo::exception_detail::error_info_injector;
using korvo::exception_detail::error_info_store;
using korvo::exception_detail::store_ref;
using injected = error_info_injector<bad_spellout>;
using thrown_type = clone_impl<injected>;

constexpr const char* failure_text = "bad spellout: source type value could not be interpreted as target";

// One call on a store, as the store saw it.
struct store_event {
    const char* store;
    const char* operation;
    bool operator==(const store_event& other) const {
        return std::strcmp(store, other.store) == 0 && std::strcmp(operation, other.operation) == 0;
    }
};
std::ostream& operator<<(std::ostream& os, const store_event& e) { return os << e.store << ' ' << e.operation; }

using store_events = std::vector<store_event>;

struct store_log {
    // Reserved so that logging allocates nothing while allocations are counted.
    store_log() { events.reserve(64); }
    store_events events;
    int live = 0;
};

// A store that counts its holders, logs every call, and ends itself when the
// last holder lets go. Its deep copies are named "D".
class counting_store final : public error_info_store {
public:
    counting_store(const char* name, store_log& log, bool failing_copy = false)
        : name_(name), log_(log), failing_copy_(failing_copy) {
        ++log_.live;
    }

    const char* diagnostic_text() const override { return name_; }
    bool empty() const noexcept override { return false; }
    const void* find(const std::type_info&) const override { return nullptr; }

    void add_reference() noexcept override {
        record("add_reference");
        ++holders_;
    }
    bool drop_reference() noexcept override {
        record("drop_reference");
        if (--holders_ > 0) return false;
        delete this;
        return true;
    }
    store_ref deep_copy() const override {
        record("deep_copy");
        if (failing_copy_) throw std::runtime_error("store cannot be copied");
        return store_ref(new counting_store("D", log_));
    }

private:
    ~counting_store() noexcept { --log_.live; }
    void record(const char* operation) const { log_.events.push_back({name_, operation}); }

    const char* name_;
    store_log& log_;
    bool failing_copy_;
    int holders_ = 1; // the store_ref that adopts it
};

// Attaches a new store (S unless named) to an error the way a catcher
// would, then forgets the two calls that attaching itself makes.
void attach(korvo::exception& e, store_log& log, bool failing_copy = false, const char* name = "S") {
    e.info_store = store_ref(new counting_store(name, log, failing_copy));
    ASSERT_EQ(log.events, (store_events{{name, "add_reference"}, {name, "drop_reference"}}));
    log.events.clear();
}

const char* store_name(const korvo::exception& e) {
    return e.info_store.get() ? e.info_store.get()->diagnostic_text() : "none";
}

template <class Catch, class Raise> bool caught_by_reference(Raise raise) {
    try {
        raise();
    } catch (Catch& e) {
        return typeid(e) == typeid(thrown_type);
    } catch (...) {}
    return false;
}

template <class Catch, class Raise> bool caught_by_value(Raise raise) {
    try {
        raise();
    } catch (Catch) {
        return true;
    } catch (...) {}
    return false;
}

// Whether every handler a caller may write catches what raise throws, and
// sees the thrown type behind it.
template <class Raise> void expect_caught_as_every_type(Raise raise) {
    EXPECT_TRUE(caught_by_reference<thrown_type>(raise));
    EXPECT_TRUE(caught_by_reference<injected>(raise));
    EXPECT_TRUE(caught_by_reference<bad_spellout>(raise));
    EXPECT_TRUE(caught_by_reference<std::bad_cast>(raise));
    EXPECT_TRUE(caught_by_reference<std::exception>(raise));
    EXPECT_TRUE(caught_by_reference<korvo::exception>(raise));
    EXPECT_TRUE(caught_by_reference<clone_base>(raise));
    EXPECT_TRUE(caught_by_reference<const clone_base>(raise));
    EXPECT_FALSE(caught_by_reference<std::runtime_error>(raise));
}

TEST(conversion_failure, caught_by_reference_as_each_of_its_types) {
    expect_caught_as_every_type([] { korvo::raise_conversion_failure(); });
}

TEST(conversion_failure, caught_by_value_where_the_type_is_not_abstract) {
    const auto raise = [] { korvo::raise_conversion_failure(); };
    EXPECT_TRUE(caught_by_value<thrown_type>(raise));
    EXPECT_TRUE(caught_by_value<injected>(raise));
    EXPECT_TRUE(caught_by_value<bad_spellout>(raise));
    EXPECT_TRUE(caught_by_value<std::bad_cast>(raise));
    EXPECT_TRUE(caught_by_value<std::exception>(raise));
    static_assert(std::is_abstract<korvo::exception>::value, "");
    static_assert(std::is_abstract<clone_base>::value, "");
    static_assert(std::is_polymorphic<bad_spellout>::value && !std::is_abstract<thrown_type>::value, "");
}

TEST(conversion_failure, records_the_size_type_and_the_text_array) {
    try {
        korvo::raise_conversion_failure();
    } catch (const bad_spellout& e) {
        ASSERT_NE(e.from_type, nullptr);
        ASSERT_NE(e.to_type, nullptr);
        EXPECT_EQ(*e.from_type, typeid(std::size_t));
        EXPECT_EQ(*e.to_type, typeid(korvo::array<char, 40>));
        EXPECT_NE(*e.to_type, typeid(korvo::array<char, 19>));
        return;
    }
    FAIL() << "nothing thrown";
}

TEST(conversion_failure, what_gives_the_same_text_through_every_base) {
    try {
        korvo::raise_conversion_failure();
    } catch (const thrown_type& e) {
        EXPECT_STREQ(e.what(), failure_text);
        EXPECT_STREQ(static_cast<const injected&>(e).what(), failure_text);
        EXPECT_STREQ(static_cast<const bad_spellout&>(e).what(), failure_text);
        EXPECT_STREQ(static_cast<const std::bad_cast&>(e).what(), failure_text);
        EXPECT_STREQ(static_cast<const std::exception&>(e).what(), failure_text);
    }
    try {
        korvo::raise_conversion_failure();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), failure_text);
    }
    // Apart from the thrown chain, as a plain value as well.
    const bad_spellout plain(typeid(int), typeid(double));
    const std::exception& as_base = plain;
    EXPECT_STREQ(as_base.what(), failure_text);
    EXPECT_EQ(*plain.from_type, typeid(int));
    EXPECT_EQ(*plain.to_type, typeid(double));
}

TEST(conversion_failure, annotatable_part_starts_empty) {
    try {
        korvo::raise_conversion_failure();
    } catch (const korvo::exception& e) {
        EXPECT_EQ(e.info_store.get(), nullptr);
        EXPECT_EQ(e.aux_1, nullptr);
        EXPECT_EQ(e.aux_2, nullptr);
        EXPECT_EQ(e.aux_number, -1);
        EXPECT_EQ(typeid(e), typeid(thrown_type));
        return;
    }
    FAIL() << "nothing thrown";
}

TEST(conversion_failure, heap_copy_is_an_independent_object_of_the_thrown_type) {
    try {
        korvo::raise_conversion_failure();
    } catch (clone_base& original) {
        auto& annotated = dynamic_cast<korvo::exception&>(original);
        annotated.aux_1 = "function";
        annotated.aux_2 = "file";
        annotated.aux_number = 42;

        const std::size_t allocated = calltrail_test::allocations();
        const std::size_t released = calltrail_test::deallocations();
        std::unique_ptr<const clone_base> copy(original.heap_copy());
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy.get(), &original);
        EXPECT_EQ(calltrail_test::allocations() - allocated, 1u);
        const clone_base& copied_base = *copy;
        EXPECT_EQ(typeid(copied_base), typeid(thrown_type));
        const auto& copied = dynamic_cast<const thrown_type&>(copied_base);
        EXPECT_STREQ(copied.what(), failure_text);
        EXPECT_EQ(*copied.from_type, typeid(std::size_t));
        EXPECT_EQ(*copied.to_type, typeid(korvo::array<char, 40>));
        EXPECT_STREQ(copied.aux_1, "function");
        EXPECT_STREQ(copied.aux_2, "file");
        EXPECT_EQ(copied.aux_number, 42);
        EXPECT_EQ(copied.info_store.get(), nullptr);

        // Deleting through clone_base frees the very block heap_copy took.
        copy.reset();
        EXPECT_EQ(calltrail_test::deallocations() - released, 1u);
    }
}

TEST(conversion_failure, throw_copy_is_caught_by_the_same_handlers) {
    try {
        korvo::raise_conversion_failure();
    } catch (const clone_base& original) {
        expect_caught_as_every_type([&] { original.throw_copy(); });
        try {
            original.throw_copy();
        } catch (const thrown_type& again) {
            EXPECT_NE(static_cast<const void*>(&again), static_cast<const void*>(&original));
            EXPECT_STREQ(again.what(), failure_text);
        }
    }
}

TEST(conversion_failure, heap_copy_runs_the_deep_copy_store_operations_in_order) {
    store_log log;
    try {
        korvo::raise_conversion_failure();
    } catch (korvo::exception& e) {
        attach(e, log);
        std::unique_ptr<const clone_base> copy(dynamic_cast<const clone_base&>(e).heap_copy());
        EXPECT_EQ(log.events, (store_events{{"S", "add_reference"},
                                            {"S", "deep_copy"},
                                            {"D", "add_reference"},
                                            {"D", "drop_reference"},
                                            {"S", "drop_reference"},
                                            {"D", "add_reference"},
                                            {"D", "drop_reference"}}));
        EXPECT_STREQ(store_name(e), "S");
        EXPECT_STREQ(store_name(dynamic_cast<const korvo::exception&>(*copy)), "D");
        EXPECT_EQ(log.live, 2);

        log.events.clear();
        copy.reset();
        EXPECT_EQ(log.events, (store_events{{"D", "drop_reference"}}));
        EXPECT_EQ(log.live, 1);
        log.events.clear();
    }
    // S was back to its one holder: the exception object's end ends it.
    EXPECT_EQ(log.events, (store_events{{"S", "drop_reference"}}));
    EXPECT_EQ(log.live, 0);
}

TEST(conversion_failure, catch_by_value_shares_the_store) {
    store_log log;
    try {
        try {
            korvo::raise_conversion_failure();
        } catch (korvo::exception& e) {
            attach(e, log);
            throw;
        }
    } catch (thrown_type copy) {
        EXPECT_EQ(log.events, (store_events{{"S", "add_reference"}}));
        EXPECT_STREQ(store_name(copy), "S");
        log.events.clear();
    }
    EXPECT_EQ(log.events, (store_events{{"S", "drop_reference"}, {"S", "drop_reference"}}));
    EXPECT_EQ(log.live, 0);

    log.events.clear();
    try {
        try {
            korvo::raise_conversion_failure();
        } catch (korvo::exception& e) {
            attach(e, log);
            throw;
        }
    } catch (injected copy) {
        EXPECT_EQ(log.events, (store_events{{"S", "add_reference"}}));
        EXPECT_STREQ(store_name(copy), "S");
        log.events.clear();
    }
    EXPECT_EQ(log.events, (store_events{{"S", "drop_reference"}, {"S", "drop_reference"}}));
    EXPECT_EQ(log.live, 0);

    // Sliced to the error alone, the copy holds no store at all.
    log.events.clear();
    try {
        try {
            korvo::raise_conversion_failure();
        } catch (korvo::exception& e) {
            attach(e, log);
            throw;
        }
    } catch (bad_spellout copy) {
        EXPECT_TRUE(log.events.empty());
        EXPECT_STREQ(copy.what(), failure_text);
    }
    EXPECT_EQ(log.events, (store_events{{"S", "drop_reference"}}));
    EXPECT_EQ(log.live, 0);
}

TEST(conversion_failure, throw_copy_shares_the_store) {
    store_log log;
    try {
        korvo::raise_conversion_failure();
    } catch (clone_base& original) {
        auto& e = dynamic_cast<korvo::exception&>(original);
        attach(e, log);
        try {
            original.throw_copy();
        } catch (const korvo::exception& again) {
            EXPECT_EQ(log.events, (store_events{{"S", "add_reference"}}));
            EXPECT_EQ(again.info_store.get(), e.info_store.get());
            EXPECT_NE(&again, &e);
            log.events.clear();
        }
        EXPECT_EQ(log.events, (store_events{{"S", "drop_reference"}}));
        EXPECT_EQ(log.live, 1);
        log.events.clear();
    }
    EXPECT_EQ(log.events, (store_events{{"S", "drop_reference"}}));
    EXPECT_EQ(log.live, 0);
}

TEST(conversion_failure, failing_deep_copy_leaks_nothing) {
    store_log log;
    try {
        korvo::raise_conversion_failure();
    } catch (clone_base& original) {
        attach(dynamic_cast<korvo::exception&>(original), log, true);
        const std::size_t allocated = calltrail_test::allocations();
        const std::size_t released = calltrail_test::deallocations();
        bool threw = false;
        try {
            original.heap_copy();
        } catch (const std::runtime_error&) {
            threw = true;
        }
        EXPECT_TRUE(threw);
        // The copy's block and the runtime_error's text, each given back.
        EXPECT_GE(calltrail_test::allocations() - allocated, 1u);
        EXPECT_EQ(calltrail_test::allocations() - allocated, calltrail_test::deallocations() - released);
        // The half-built copy let go of the S it had started to share.
        EXPECT_EQ(log.events, (store_events{{"S", "add_reference"}, {"S", "deep_copy"}, {"S", "drop_reference"}}));
        EXPECT_EQ(log.live, 1);
    }
    EXPECT_EQ(log.live, 0);
}

TEST(conversion_failure, wrapping_an_annotated_error_gives_the_wrapper_its_own_copy) {
    store_log log;
    injected source(bad_spellout(typeid(int), typeid(char)));
    attach(source, log);
    source.aux_1 = "function";
    source.aux_number = 7;
    {
        const thrown_type wrapped(source);
        EXPECT_EQ(log.events, (store_events{{"S", "add_reference"},
                                            {"S", "deep_copy"},
                                            {"D", "add_reference"},
                                            {"D", "drop_reference"},
                                            {"S", "drop_reference"},
                                            {"D", "add_reference"},
                                            {"D", "drop_reference"}}));
        EXPECT_STREQ(store_name(wrapped), "D");
        EXPECT_STREQ(wrapped.aux_1, "function");
        EXPECT_EQ(wrapped.aux_number, 7);
        EXPECT_EQ(*wrapped.from_type, typeid(int));
        log.events.clear();
    }
    EXPECT_EQ(log.events, (store_events{{"D", "drop_reference"}}));
    EXPECT_EQ(log.live, 1);
}

TEST(conversion_failure, copy_error_info_replaces_what_the_target_held) {
    store_log log;
    injected from(bad_spellout(typeid(int), typeid(char)));
    injected to(bad_spellout(typeid(int), typeid(char)));
    attach(from, log);
    attach(to, log, false, "T");
    from.aux_1 = "function";
    from.aux_2 = "file";
    from.aux_number = 12;
    korvo::exception_detail::copy_error_info(to, from);
    EXPECT_EQ(log.events, (store_events{{"S", "deep_copy"},
                                        {"D", "add_reference"},
                                        {"D", "drop_reference"},
                                        {"T", "drop_reference"},
                                        {"D", "add_reference"},
                                        {"D", "drop_reference"}}));
    EXPECT_EQ(log.live, 2) << "T was released";
    EXPECT_STREQ(store_name(to), "D");
    EXPECT_STREQ(to.aux_1, "function");
    EXPECT_STREQ(to.aux_2, "file");
    EXPECT_EQ(to.aux_number, 12);

    // From an error without a store nothing is copied; the target lets go.
    log.events.clear();
    const injected bare(bad_spellout(typeid(int), typeid(char)));
    korvo::exception_detail::copy_error_info(to, bare);
    EXPECT_EQ(log.events, (store_events{{"D", "drop_reference"}}));
    EXPECT_EQ(to.info_store.get(), nullptr);
    EXPECT_EQ(to.aux_1, nullptr);
    EXPECT_EQ(to.aux_number, -1);
}

TEST(conversion_failure, without_a_store_copies_hold_none) {
    try {
        korvo::raise_conversion_failure();
    } catch (const thrown_type& original) {
        const thrown_type plain_copy(original);
        EXPECT_EQ(plain_copy.info_store.get(), nullptr);
        EXPECT_EQ(plain_copy.aux_number, -1);
        const thrown_type deep_copy(original, korvo::exception_detail::deep_copy_marker());
        EXPECT_EQ(deep_copy.info_store.get(), nullptr);
        EXPECT_EQ(deep_copy.aux_1, nullptr);
        try {
            original.throw_copy();
        } catch (const korvo::exception& again) {
            EXPECT_EQ(again.info_store.get(), nullptr);
        }
    }
}

TEST(store_ref, assignment_drops_the_old_store_before_taking_the_new) {
    store_log log;
    store_ref first(new counting_store("S", log));
    store_ref second(new counting_store("D", log));
    first = second;
    EXPECT_EQ(log.events, (store_events{{"S", "drop_reference"}, {"D", "add_reference"}}));
    EXPECT_EQ(log.live, 1);
    EXPECT_EQ(first.get(), second.get());
    log.events.clear();
    const store_ref& same = first;
    first = same;
    EXPECT_TRUE(log.events.empty());
    EXPECT_EQ(log.live, 1);
    store_ref none;
    first = none;
    EXPECT_EQ(first.get(), nullptr);
    EXPECT_EQ(log.events, (store_events{{"D", "drop_reference"}}));
}

// A stand-in error whose destructors say when they run.
std::vector<const char*>* destruction_order = nullptr;

class probe_base : public std::exception {
public:
    ~probe_base() noexcept override { destruction_order->push_back("probe_base"); }
};

class probe_error : public probe_base {
public:
    ~probe_error() noexcept override { destruction_order->push_back("probe_error"); }
};

// Logs each drop of a store it stands for into destruction_order as well.
class ordering_store final : public error_info_store {
public:
    const char* diagnostic_text() const override { return "ordering"; }
    bool empty() const noexcept override { return true; }
    const void* find(const std::type_info&) const override { return nullptr; }
    void add_reference() noexcept override { ++holders_; }
    bool drop_reference() noexcept override {
        destruction_order->push_back("store released");
        if (--holders_ > 0) return false;
        delete this;
        return true;
    }
    store_ref deep_copy() const override { return store_ref(new ordering_store); }

private:
    ~ordering_store() noexcept {}
    int holders_ = 1;
};

TEST(conversion_failure, destroys_in_reverse_order_of_construction) {
    std::vector<const char*> order;
    order.reserve(16);
    destruction_order = &order;
    try {
        korvo::throw_wrapped(probe_error());
    } catch (korvo::exception& e) {
        e.info_store = store_ref(new ordering_store);
        std::unique_ptr<const clone_base> copy(dynamic_cast<const clone_base&>(e).heap_copy());
        order.clear();
        copy.reset();
        EXPECT_EQ(order, (std::vector<const char*>{"store released", "probe_error", "probe_base"}));
        order.clear();
    }
    EXPECT_EQ(order, (std::vector<const char*>{"store released", "probe_error", "probe_base"}));
    destruction_order = nullptr;
}

// The raise below happens inside a separate shared library that exports
// nothing but its trigger, so none of the error classes' type_info or
// vtables are visible to this program's dynamic linker.
template <class Catch> bool caught_from_library() {
    try {
        calltrail_test_raise_in_library();
    } catch (Catch& e) {
        return typeid(e) == typeid(thrown_type);
    } catch (...) {}
    return false;
}

TEST(conversion_failure_across_modules, caught_as_every_type_a_caller_names) {
    EXPECT_TRUE(caught_from_library<bad_spellout>());
    EXPECT_TRUE(caught_from_library<std::bad_cast>());
    EXPECT_TRUE(caught_from_library<std::exception>());
    EXPECT_TRUE(caught_from_library<korvo::exception>());
    EXPECT_TRUE(caught_from_library<clone_base>());
    EXPECT_TRUE(caught_from_library<thrown_type>());
}

TEST(conversion_failure_across_modules, keeps_its_content_and_operations) {
    try {
        calltrail_test_raise_in_library();
    } catch (const clone_base& original) {
        // Two type_info objects, one per module, equal by name.
        EXPECT_NE(&typeid(original), &typeid(thrown_type));
        const auto& e = dynamic_cast<const thrown_type&>(original);
        EXPECT_STREQ(e.what(), failure_text);
        EXPECT_EQ(*e.from_type, typeid(std::size_t));
        EXPECT_EQ(*e.to_type, typeid(korvo::array<char, 40>));
        EXPECT_EQ(e.info_store.get(), nullptr);
        EXPECT_EQ(e.aux_number, -1);
        std::unique_ptr<const clone_base> copy(original.heap_copy());
        const clone_base& copied = *copy;
        EXPECT_EQ(typeid(copied), typeid(thrown_type));
        EXPECT_TRUE(caught_by_reference<bad_spellout>([&] { original.throw_copy(); }));
        return;
    }
    FAIL() << "nothing thrown";
}

#if defined(__linux__)
TEST(conversion_failure_across_modules, library_exports_none_of_the_error_symbols) {
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&calltrail_test_raise_in_library), &info), 0);
    void* library = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr) << info.dli_fname;
    EXPECT_NE(dlsym(library, "calltrail_test_raise_in_library"), nullptr);
    for (const std::type_info* type : {&typeid(thrown_type), &typeid(injected), &typeid(bad_spellout),
                                       &typeid(korvo::exception), &typeid(clone_base)}) {
        const std::string name = type->name();
        EXPECT_EQ(dlsym(library, ("_ZTI" + name).c_str()), nullptr) << name;
        EXPECT_EQ(dlsym(library, ("_ZTV" + name).c_str()), nullptr) << name;
    }
    EXPECT_EQ(dlsym(library, "_ZN5korvo24raise_conversion_failureEv"), nullptr);
    dlclose(library);
}
#endif

// A store built in another module is called by the places of its operations
// in the table. An Itanium pointer to a virtual member holds one plus its offset.
template <class Member> std::size_t table_slot(Member member) {
    std::size_t raw[2];
    static_assert(sizeof raw == sizeof member, "an Itanium member pointer");
    std::memcpy(raw, &member, sizeof raw);
    return (raw[0] - 1) / sizeof(void*);
}

TEST(error_info_store_table, puts_the_three_called_operations_after_three_others) {
#if !defined(__x86_64__)
    GTEST_SKIP() << "member pointers are read as on x86-64";
#endif
    EXPECT_EQ(table_slot(&error_info_store::diagnostic_text), 0u);
    EXPECT_EQ(table_slot(&error_info_store::add_reference), 3u);
    EXPECT_EQ(table_slot(&error_info_store::drop_reference), 4u);
    EXPECT_EQ(table_slot(&error_info_store::deep_copy), 5u);
}

} // namespace
