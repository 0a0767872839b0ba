#pragma once

#include <cassert>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace platform {

// How a call of this program's own code says that it failed, at every layer: it returns the
// failure as a value. Nothing is left behind for a later call to fetch (no errno to read after
// the fact, no last-error text per thread or per object), and nothing is thrown.
//
// Error: why one call failed. `code` is the system's error number where there is one (errno, a
// Windows error code, SQLite's result code), else 0; `text` is what a person is shown, whole
// (e.g. "cannot open PATH: No such file or directory"). Callers decide by the code and show the
// text; they never parse the text. A default-made Error, with empty text, stands for success:
// an Error is a failure exactly when its text is not empty. A call that only succeeds or fails
// returns an Error, read as
//     if (const platform::Error error = ReplaceFileContents(path, contents)) {
//         Show(error.text);
//     }
//
// Result<T>: the value of a call that succeeded, or the Error why there is none, read as
//     const platform::Result<int> descriptor = OpenForRead(path);
//     if (!descriptor) {
//         return descriptor.error();
//     }
//     Use(*descriptor);
// Asking a Result without a value for it, or making one of an Error that is not a failure, is
// the caller's mistake (asserted).
struct Error {
    int code = 0;
    std::string text;

    bool failed() const { return !text.empty(); }
    explicit operator bool() const { return failed(); }

    // The C library's error number `number` (errno) with its text, "No such file or directory".
    static Error OfErrno(int number) { return Error{number, std::strerror(number)}; }

    // The same failure told in a wider frame: "CONTEXT: TEXT", the code kept.
    Error In(const std::string& context) const { return Error{code, context + ": " + text}; }
};

template <typename T>
class Result {
  public:
    Result(T value) : value_(std::move(value)) {}
    Result(Error error) : error_(std::move(error)) { assert(error_.failed()); }

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }

    T& operator*() {
        assert(ok());
        return *value_;
    }
    const T& operator*() const {
        assert(ok());
        return *value_;
    }
    T* operator->() { return &**this; }
    const T* operator->() const { return &**this; }

    // Empty (success) when there is a value.
    const Error& error() const { return error_; }

  private:
    std::optional<T> value_;
    Error error_;
};

}  // namespace platform
