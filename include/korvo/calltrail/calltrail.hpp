#ifndef KORVO_CALLTRAIL_CALLTRAIL_HPP
#define KORVO_CALLTRAIL_CALLTRAIL_HPP

#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>
#include <korvo/calltrail/trace.hpp>
#include <korvo/calltrail/print.hpp>
#include <korvo/calltrail/traced.hpp>

#endif
