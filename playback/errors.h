// Errors that leave a window handler; the handler's edge shows them in the application's error
// box and the program goes on.
#pragma once

#include <stdexcept>
#include <string>

class EVelmoraError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A failed read of a file the program relies on: "I/O error <errno>".
class EInOutError : public EVelmoraError {
  public:
    explicit EInOutError(int errorCode)
        : EVelmoraError("I/O error " + std::to_string(errorCode)), errorCode_(errorCode) {}
    // The same error with the text that says which file and why.
    EInOutError(int errorCode, const std::string& text)
        : EVelmoraError(text), errorCode_(errorCode) {}
    int errorCode() const { return errorCode_; }

  private:
    int errorCode_;
};

// A file that exists but cannot be opened.
class EFOpenError : public EVelmoraError {
  public:
    using EVelmoraError::EVelmoraError;
};
