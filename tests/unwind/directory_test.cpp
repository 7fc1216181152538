// The directory of loaded objects under the walk: a record holds while its
// object stays loaded and fails, in the next walk, once another object takes
// its place; a full directory begins an epoch in which no older record holds.
#include "platform/posix/unwind/object_directory.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <string>

using namespace korvo::calltrail::posix_unwind;

namespace {

struct loaded {
    void* handle = nullptr;
    std::uintptr_t code = 0; // inside its one function

    explicit loaded(const std::string& path) : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (handle != nullptr) code = reinterpret_cast<std::uintptr_t>(dlsym(handle, "ct_twin_call")) + 1;
    }
    ~loaded() {
        if (handle != nullptr) dlclose(handle);
    }
};

checked_objects new_walk() {
    checked_objects checked;
    checked.begin();
    return checked;
}

std::uint32_t identified(std::uintptr_t code) {
    checked_objects checked = new_walk();
    loaded_object object;
    std::uint32_t index = no_record;
    EXPECT_TRUE(identify_object(checked, code, object, index));
    EXPECT_TRUE(object.contains(code));
    return index;
}

// Twins with one build-id and frames of different sizes, from files of
// their own: loaded in turn, the second most often where the first was.
TEST(object_directory, a_record_holds_while_its_object_stays_and_fails_once_another_is_loaded_there) {
    std::uint32_t first = no_record;
    std::uintptr_t first_code = 0;
    {
        const loaded a(CALLTRAIL_TWIN_SAME_ID_A);
        ASSERT_NE(a.handle, nullptr) << dlerror();
        first = identified(a.code);
        ASSERT_NE(first, no_record);
        first_code = a.code;
        EXPECT_EQ(identified(a.code), first) << "identified twice";
        for (int walk = 0; walk < 2; ++walk) {
            checked_objects checked = new_walk();
            EXPECT_TRUE(check_object(checked, first, a.code + 1)) << "walk " << walk;
            EXPECT_TRUE(checked.has(first)) << "walk " << walk;
        }
    }
    const loaded b(CALLTRAIL_TWIN_SAME_ID_B);
    ASSERT_NE(b.handle, nullptr) << dlerror();
    checked_objects checked = new_walk();
    EXPECT_FALSE(check_object(checked, first, b.code + 1)) << "where the first twin was: " << (first_code == b.code);
    EXPECT_FALSE(checked.has(first));
    const std::uint32_t second = identified(b.code);
    EXPECT_NE(second, first);
    EXPECT_TRUE(check_object(checked, second, b.code + 1));
}

// Each name of the twin (written with more "./" each time) is an object of
// its own to the loader and to the directory; loaded and unloaded in turn,
// they fill the directory. The record of an object that stays loaded, made
// among the last of its epoch, still describes it in the next epoch, where
// nothing took its place, and must not hold there.
TEST(object_directory, a_full_directory_begins_an_epoch_in_which_no_older_record_holds) {
    const std::string path = CALLTRAIL_TWIN_SAME_ID_B;
    const std::string::size_type slash = path.rfind('/');
    std::string kept_name = CALLTRAIL_TWIN_SAME_ID_A;
    const loaded kept(kept_name.insert(kept_name.rfind('/') + 1, "./"));
    ASSERT_NE(kept.handle, nullptr) << dlerror();
    const std::uint64_t epoch = new_walk().epoch;
    std::uint32_t kept_record = no_record;
    std::string name = path;
    for (std::uint32_t i = 0, after = 0; after < 5 && i < 3 * directory_size; ++i) {
        name.insert(slash + 1, "./");
        const loaded other(name);
        ASSERT_NE(other.handle, nullptr) << dlerror();
        const std::uint32_t index = identified(other.code);
        ASSERT_TRUE(index == no_record || index < directory_size) << i;
        if (index != no_record && index >= directory_size - 20 && kept_record == no_record)
            kept_record = identified(kept.code);
        if (new_walk().epoch != epoch) ++after;
    }
    checked_objects checked = new_walk();
    ASSERT_GT(checked.epoch, epoch);
    ASSERT_GE(kept_record, directory_size - 20);
    EXPECT_FALSE(check_object(checked, kept_record, kept.code + 1)) << "a record of an earlier epoch held";
    const std::uint32_t again = identified(kept.code);
    ASSERT_NE(again, no_record);
    EXPECT_LT(again, directory_size - 20);
    EXPECT_TRUE(check_object(checked, again, kept.code + 1));
}

} // namespace
