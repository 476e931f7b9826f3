// What an exception caught by a catch-all says, for the line that reports
// it: a handler that goes on after a failure still leaves a trace of it.
#pragma once

namespace base {

// The what() of the exception being handled when it is a std::exception,
// "an exception of unknown type" for anything else, and "no exception"
// outside a handler. The text lives while that exception is handled.
// Allocates nothing and never throws, so it is safe in a handler for
// std::bad_alloc.
[[nodiscard]] const char* CurrentExceptionText() noexcept;

}  // namespace base
