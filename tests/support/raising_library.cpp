#include "support/raising_library.hpp"

#include <korvo/spellout.hpp>

extern "C" void calltrail_test_raise_in_library() { korvo::raise_conversion_failure(); }
