#pragma once

#include <stdexcept>

// A command that cannot run as asked: its text is the one-line reason the user sees.
struct CliError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The command line itself is wrong.
struct UsageError : CliError {
    using CliError::CliError;
};
