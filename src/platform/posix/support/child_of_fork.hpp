#ifndef KORVO_CALLTRAIL_POSIX_SUPPORT_CHILD_OF_FORK_HPP
#define KORVO_CALLTRAIL_POSIX_SUPPORT_CHILD_OF_FORK_HPP

// A child of fork() may find the loader's lock held for ever: a thread of the
// parent was loading or unloading a library at the fork, and that thread is
// not in the child. Whatever takes that lock (dl_iterate_phdr, a dlopen that
// loads) would wait for ever there. While the child has only its one thread,
// nothing can change the loader's list under it, so the engine can do
// without that lock.

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Called before fork() in the parent, and in the child after it.
void note_fork_in_parent() noexcept;
void note_fork_in_child() noexcept;

// True in a child of fork(), whose parent had other threads, that has not yet
// had a second thread.
bool loader_lock_may_be_lost() noexcept;

// True while the loader is loading or unloading; in such a child, true for
// ever when a thread of the parent was at the fork. The loader then fails
// any dlopen there, even of a library loaded already.
bool loader_list_changing() noexcept;

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
