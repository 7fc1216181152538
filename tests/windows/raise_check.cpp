// The conversion failure raised inside one DLL and caught in this program, as
// every type a caller may name: the two modules share nothing but the C++
// runtime DLLs, which match type_info by name.
#include <korvo/array.hpp>
#include <korvo/bad_spellout.hpp>
#include <korvo/exception.hpp>

#include <cstddef>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "check.hpp"
#include "raise_probe.hpp"

// Catching by value is part of what is checked.
#pragma GCC diagnostic ignored "-Wcatch-value"

namespace {

using korvo::bad_spellout;
using korvo::exception_detail::clone_base;
using korvo::exception_detail::clone_impl;
using korvo::exception_detail::error_info_injector;
using korvo::exception_detail::error_info_store;
using korvo::exception_detail::store_ref;
using thrown_type = clone_impl<error_info_injector<bad_spellout>>;

const std::string failure_text = "bad spellout: source type value could not be interpreted as target";

// Raises in the DLL and hands the error to the first handler that takes it;
// reports a failure when only catch (...) does.
template <class Caught, class Examine> void raise_and_catch(const char* as, Examine examine) {
    bool caught = false;
    try {
        calltrail_probe_raise();
    } catch (Caught& error) {
        caught = true;
        examine(error);
    } catch (...) {}
    check::record(caught, (std::string("caught as ") + as).c_str(), __FILE__, __LINE__);
}

// A store that logs each call as its name and +, -, or c (deep copy), and
// never frees itself: it lives on this program's stack.
class logging_store final : public error_info_store {
public:
    logging_store(char name, std::string& log, logging_store* copy) : name_(name), log_(log), copy_(copy) {}
    ~logging_store() noexcept {}

    const char* diagnostic_text() const override { return "logging store"; }
    bool empty() const noexcept override { return false; }
    const void* find(const std::type_info&) const override { return nullptr; }
    void add_reference() noexcept override {
        note('+');
        ++holders;
    }
    bool drop_reference() noexcept override {
        note('-');
        return --holders == 0;
    }
    store_ref deep_copy() const override {
        note('c');
        copy_->holders = 1;
        return store_ref(copy_);
    }

    int holders = 0;

private:
    void note(char what) const {
        log_ += name_;
        log_ += what;
    }

    char name_;
    std::string& log_;
    logging_store* copy_;
};

void caught_as_every_type() {
    check::section("handlers");
    raise_and_catch<bad_spellout>("korvo::bad_spellout&", [](bad_spellout& error) {
        CHECK(error.from_type != nullptr && *error.from_type == typeid(std::size_t));
        CHECK(error.to_type != nullptr && *error.to_type == typeid(korvo::array<char, 40>));
        CHECK_EQ(std::string(error.what()), failure_text);
        CHECK(typeid(error) == typeid(thrown_type));
    });
    raise_and_catch<std::exception>("std::exception&", [](std::exception& error) {
        CHECK_EQ(std::string(error.what()), failure_text);
        CHECK(typeid(error) == typeid(thrown_type));
    });
    raise_and_catch<std::bad_cast>("std::bad_cast&",
                                   [](std::bad_cast& error) { CHECK_EQ(std::string(error.what()), failure_text); });
    raise_and_catch<korvo::exception>("korvo::exception&", [](korvo::exception& error) {
        CHECK(error.info_store.get() == nullptr);
        CHECK(error.aux_1 == nullptr);
        CHECK(error.aux_2 == nullptr);
        CHECK_EQ(error.aux_number, -1);
        CHECK(typeid(error) == typeid(thrown_type));
    });
    raise_and_catch<error_info_injector<bad_spellout>>(
        "error_info_injector<bad_spellout>&",
        [](error_info_injector<bad_spellout>& error) { CHECK_EQ(std::string(error.what()), failure_text); });
    raise_and_catch<thrown_type>("clone_impl<error_info_injector<bad_spellout>>&",
                                 [](thrown_type& error) { CHECK_EQ(std::string(error.what()), failure_text); });
    raise_and_catch<clone_base>("clone_base&", [](clone_base& error) {
        CHECK(typeid(error) == typeid(thrown_type));
        const clone_base* copy = error.heap_copy();
        const auto* as_exception = dynamic_cast<const std::exception*>(copy);
        CHECK(copy != &error && as_exception != nullptr && typeid(*copy) == typeid(thrown_type));
        if (as_exception != nullptr) CHECK_EQ(std::string(as_exception->what()), failure_text);
        delete copy;

        bool caught_again = false;
        try {
            error.throw_copy();
        } catch (bad_spellout& again) {
            caught_again = *again.to_type == typeid(korvo::array<char, 40>);
        } catch (...) {}
        CHECK(caught_again);
    });

    // No handler for an unrelated type takes it on the way.
    bool wrongly_caught = false, caught = false;
    try {
        try {
            calltrail_probe_raise();
        } catch (std::runtime_error&) {
            wrongly_caught = true;
        } catch (std::bad_alloc&) {
            wrongly_caught = true;
        }
    } catch (bad_spellout) {
        caught = true;
    }
    CHECK(!wrongly_caught && caught);
}

// A store attached by this program is shared and deep-copied by code that the
// DLL's vtables lead to.
void store_attached_by_the_catcher() {
    check::section("error information across the boundary");
    std::string log;
    logging_store copy('D', log, nullptr);
    logging_store store('S', log, &copy);
    std::string after_heap_copy, after_delete, after_throw_copy;
    raise_and_catch<korvo::exception>("korvo::exception& (store)", [&](korvo::exception& error) {
        store.holders = 1;
        error.info_store = store_ref(&store);
        log.clear();
        const clone_base* duplicate = dynamic_cast<clone_base&>(error).heap_copy();
        after_heap_copy = log;
        log.clear();
        delete duplicate;
        after_delete = log;
        log.clear();
        try {
            dynamic_cast<clone_base&>(error).throw_copy();
        } catch (thrown_type&) {
            after_throw_copy = log;
        }
        log.clear();
    });
    CHECK_EQ(after_heap_copy, std::string("S+ScD+D-S-D+D-"));
    CHECK_EQ(after_delete, std::string("D-"));
    CHECK_EQ(after_throw_copy, std::string("S+"));
    // The thrown copy and the original both let go when their handlers end.
    CHECK_EQ(log, std::string("S-"));
    CHECK_EQ(store.holders, 0);
    CHECK_EQ(copy.holders, 0);
}

} // namespace

int main() {
    caught_as_every_type();
    store_attached_by_the_catcher();
    return check::finish();
}
