#include "base/exception_text.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

namespace {

std::string TextOf(void (*thrower)()) {
  try {
    thrower();
  } catch (...) {
    return base::CurrentExceptionText();
  }
  return "nothing thrown";
}

TEST(ExceptionText, TellsWhatWasCaughtAndNeverRethrows) {
  EXPECT_EQ(TextOf([] { throw std::runtime_error("disk full"); }), "disk full");
  EXPECT_EQ(TextOf([] { throw std::bad_alloc(); }), std::bad_alloc().what());
  EXPECT_EQ(TextOf([] { throw 42; }), "an exception of unknown type");
  // Outside a handler there is nothing to rethrow: a rethrow would end the
  // process.
  EXPECT_STREQ(base::CurrentExceptionText(), "no exception");
}

TEST(ExceptionText, LeavesTheHandledExceptionInPlace) {
  try {
    throw std::logic_error("first");
  } catch (...) {
    EXPECT_STREQ(base::CurrentExceptionText(), "first");
    EXPECT_STREQ(base::CurrentExceptionText(), "first");
    EXPECT_THROW(throw, std::logic_error);
  }
}

}  // namespace
