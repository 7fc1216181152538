#ifndef KORVO_CALLTRAIL_DETAIL_CRASH_EXCEPTIONS_HPP
#define KORVO_CALLTRAIL_DETAIL_CRASH_EXCEPTIONS_HPP

// What the terminate handler says of an uncaught exception: its type, its
// what(), the trace of a traced<E>, and the same of each exception nested in
// it. It runs in std::terminate, not in a signal handler, so it may allocate.
// It must build without exceptions and without run-time type information:
// there, on the C++ runtime of GCC and Clang, the exception is looked at
// through that runtime's interface instead of being rethrown and caught.
// Part of crash_handler.hpp.

#include <korvo/calltrail/detail/crash_frames.hpp>
#include <korvo/calltrail/detail/crash_text.hpp>
#include <korvo/calltrail/traced.hpp>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <typeinfo>
#include <vector>

#if defined(__GNUC__)
#include <cxxabi.h>
#endif

#if !KORVO_CALLTRAIL_CRASH_EXCEPTIONS && defined(__GLIBCXX__)
#define KORVO_CALLTRAIL_CRASH_RUNTIME_VIEW 1
#else
#define KORVO_CALLTRAIL_CRASH_RUNTIME_VIEW 0
#endif

namespace korvo {
namespace calltrail {
namespace crash_detail {

#if KORVO_CALLTRAIL_CRASH_RUNTIME_VIEW
// The runtime's descriptions of the classes an exception is looked at as, by
// their own type (a class without bases): typeid may not be at hand.
// trace_origin's exists where a traced<E> was thrown; elsewhere it is null.
extern const abi::__class_type_info std_exception_type __asm__("_ZTISt9exception");
extern const abi::__class_type_info std_nested_exception_type __asm__("_ZTISt16nested_exception");
#if !KORVO_CALLTRAIL_CRASH_RTTI && defined(__ELF__)
extern const abi::__class_type_info trace_origin_type __asm__("_ZTIN5korvo9calltrail12trace_originE")
    __attribute__((weak));
#endif

inline const std::type_info* trace_origin_type_info() {
#if KORVO_CALLTRAIL_CRASH_RTTI
    return &typeid(trace_origin);
#elif defined(__ELF__)
    return &trace_origin_type;
#else
    return nullptr;
#endif
}

// The exception object as the class a handler for `as` would catch it as,
// or null: as the runtime matches a catch clause.
inline const void* exception_as(const std::exception_ptr& p, const std::type_info* as) {
    static_assert(sizeof(std::exception_ptr) == sizeof(void*), "an exception_ptr holds the exception object");
    void* object = nullptr;
    std::memcpy(&object, &p, sizeof object);
    const std::type_info* type = p.__cxa_exception_type();
    if (object == nullptr || type == nullptr || as == nullptr) return nullptr;
    return as->__do_catch(type, &object, 1) ? object : nullptr;
}
#endif

// What is said of one exception; its texts stay valid while the exception
// is held.
struct exception_level {
    std::exception_ptr held;
    std::string type;
    const char* what = nullptr;
    const trace* where = nullptr;
};

inline std::string readable_type(const std::type_info* type) {
    if (type == nullptr) return std::string();
    std::string name = type->name();
#if defined(__GNUC__)
    int status = 0;
    char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (demangled != nullptr) {
        name = demangled;
        std::free(demangled);
    }
    // std::throw_with_nested's wrapper: the type thrown is the one inside.
    static const char wrapper[] = "std::_Nested_exception<";
    const std::size_t size = sizeof wrapper - 1;
    if (name.size() > size + 1 && name.compare(0, size, wrapper) == 0 && name[name.size() - 1] == '>') {
        name = name.substr(size, name.size() - size - 1);
        while (!name.empty() && name[name.size() - 1] == ' ') name.erase(name.size() - 1);
    }
#endif
    return name;
}

// The current exception and those nested in it, at most `most` of them.
inline std::size_t describe_exceptions(exception_level* levels, std::size_t most) {
    std::size_t count = 0;
    for (std::exception_ptr p = std::current_exception(); p && count < most; ++count) {
        exception_level& level = levels[count];
        level.held = p;
        std::exception_ptr nested;
#if KORVO_CALLTRAIL_CRASH_EXCEPTIONS
        try {
            std::rethrow_exception(p);
        } catch (const trace_origin& origin) {
            level.where = &origin.where();
        } catch (...) {}
        try {
            std::rethrow_exception(p);
        } catch (const std::exception& e) {
            level.what = e.what();
#if KORVO_CALLTRAIL_CRASH_RTTI && !defined(__GNUC__)
            level.type = readable_type(&typeid(e));
#endif
        } catch (...) {}
#if defined(__GNUC__)
        try {
            std::rethrow_exception(p);
        } catch (...) {
            level.type = readable_type(abi::__cxa_current_exception_type());
        }
#endif
        try {
            std::rethrow_exception(p);
        } catch (const std::nested_exception& n) {
            nested = n.nested_ptr();
        } catch (...) {}
#elif KORVO_CALLTRAIL_CRASH_RUNTIME_VIEW
        level.type = readable_type(p.__cxa_exception_type());
        if (const void* origin = exception_as(p, trace_origin_type_info()))
            level.where = &static_cast<const trace_origin*>(origin)->where();
        if (const void* e = exception_as(p, &std_exception_type))
            level.what = static_cast<const std::exception*>(e)->what();
        if (const void* n = exception_as(p, &std_nested_exception_type))
            nested = static_cast<const std::nested_exception*>(n)->nested_ptr();
#elif defined(__GNUC__)
        if (count == 0) level.type = readable_type(abi::__cxa_current_exception_type());
#endif
        p = nested;
    }
    return count;
}

// "exception 0: TYPE", "  what(): TEXT" for each level; long texts are cut.
inline void write_exceptions(const exception_level* levels, std::size_t count) {
    const std::size_t longest_what = 4096;
    for (std::size_t i = 0; i < count; ++i) {
        crash_line line;
        line.text("exception ").number(i);
        if (i > 0) line.text(", nested in ").number(i - 1);
        line.text(": ");
        if (levels[i].type.empty())
            line.text("(type unknown)");
        else
            line.escaped(levels[i].type.data(), levels[i].type.size(), false);
        line.end();
        if (levels[i].what == nullptr) continue;
        std::size_t size = 0;
        while (size <= longest_what && levels[i].what[size] != '\0') ++size;
        line.text("  what(): ").escaped(levels[i].what, size > longest_what ? longest_what : size, false);
        if (size > longest_what) line.text("... (cut)");
        line.end();
    }
}

// The report of an uncaught exception: the exceptions, the stack from where
// std::terminate was called, and each traced exception's throw site. Called
// by the terminate handler itself.
template <class Platform> KORVO_CALLTRAIL_CRASH_NOINLINE void write_terminate_report() {
    exception_level levels[8];
    const std::size_t count = describe_exceptions(levels, 8);
    crash_line()
        .text(count > 0 ? "terminate called after an uncaught exception"
                        : "terminate called without an active exception")
        .end();
    write_exceptions(levels, count);
    stack_walk walk;
    walk.run();
    // 0 in collect, 1 in run, 2 here, 3 in the terminate handler, 4 in the
    // C++ runtime, whose frames down to the code that threw are not shown.
    const std::size_t start = walk.top_count > 4 ? 4 : walk.top_count;
    std::vector<frame_section> sections(1 + count);
    std::vector<std::string> titles(1 + count);
    if (start < walk.top_count) {
        const report_frame first = report_frame::return_address(reinterpret_cast<std::uintptr_t>(walk.top[start]));
        fill_section<Platform>(sections[0], walk, start, plumbing_frames<Platform>(walk, start), first);
    }
    std::size_t traced = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (levels[i].where == nullptr || levels[i].where->empty()) continue;
        ++traced;
        const trace& where = *levels[i].where;
        const void* addresses[default_trace_depth];
        report_frame frames[default_trace_depth];
        for (std::size_t f = 0; f < where.size(); ++f) addresses[f] = where[f].code_address();
        Platform::classify(addresses, where.size(), frames);
        sections[traced].add_frames(frames, where.size(), 0);
        titles[traced] = " of the throw site of exception " + std::to_string(i);
    }
    module_list<typename Platform::place> modules;
    const frame_section* listed[9];
    const char* named[9];
    for (std::size_t i = 0; i <= traced; ++i) {
        listed[i] = &sections[i];
        named[i] = titles[i].c_str();
        write_raw_frames<Platform>(sections[i], named[i], modules);
    }
    write_module_table(modules);
    Platform::write_rendered(listed, named, traced + 1);
    KORVO_CALLTRAIL_CRASH_KEEP_FRAME();
}

} // namespace crash_detail
} // namespace calltrail
} // namespace korvo

#endif
