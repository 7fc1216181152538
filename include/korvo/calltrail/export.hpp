#ifndef KORVO_CALLTRAIL_EXPORT_HPP
#define KORVO_CALLTRAIL_EXPORT_HPP

// Marks the eight operations that every calltrail library exports; nothing
// else leaves a library. KORVO_CALLTRAIL_STATIC: the library is a static
// archive (its CMake target says so to whoever links it).
#if defined(_WIN32)
#if defined(KORVO_CALLTRAIL_STATIC)
#define KORVO_CALLTRAIL_API
#elif defined(KORVO_CALLTRAIL_BUILDING)
#define KORVO_CALLTRAIL_API __declspec(dllexport)
#else
#define KORVO_CALLTRAIL_API __declspec(dllimport)
#endif
#else
#define KORVO_CALLTRAIL_API __attribute__((visibility("default")))
#endif

#endif
