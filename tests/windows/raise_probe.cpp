#include "raise_probe.hpp"

#include <korvo/spellout.hpp>

extern "C" void calltrail_probe_raise() { korvo::raise_conversion_failure(); }
