// The microseconds within the current second.
//
// get_time_usec stores a value below one million (not a count since the
// epoch) and returns 0; when the clock cannot be read it logs
// "error getting localtime" with the error, leaves the value and returns 1.
#pragma once

#include <cstdint>

int get_time_usec(std::uint64_t* usec);
