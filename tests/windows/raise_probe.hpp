#ifndef CALLTRAIL_TESTS_WINDOWS_RAISE_PROBE_HPP
#define CALLTRAIL_TESTS_WINDOWS_RAISE_PROBE_HPP

// A DLL built like the engine from the engine's own raising routine, with one
// export that raises the conversion failure from inside it: the libraries
// export nothing that could reach that error.
#if defined(CALLTRAIL_RAISE_PROBE_BUILDING)
#define CALLTRAIL_RAISE_PROBE_API __declspec(dllexport)
#else
#define CALLTRAIL_RAISE_PROBE_API __declspec(dllimport)
#endif

extern "C" CALLTRAIL_RAISE_PROBE_API void calltrail_probe_raise();

#endif
