// How tniff reports a failure: one line for stderr, and the exit status it ends with.
#ifndef TNIFF_CLI_TOOL_ERROR_H
#define TNIFF_CLI_TOOL_ERROR_H

#include <stdexcept>
#include <string>

#include "hostapi/plugin_interface.h"

namespace tniff_cli {

// Exit statuses: 0 success, 1 a command that failed, 2 a command line that makes no sense.
const int kExitFailure = 1;
const int kExitUsage = 2;

class ToolError : public std::runtime_error {
public:
    explicit ToolError(const std::string& message, int status = kExitFailure)
        : std::runtime_error(message), status_(status) {}
    // A failure the module reported with a result code.
    ToolError(const std::string& message, OSErr hostCode)
        : std::runtime_error(message), status_(kExitFailure), hostCode_(hostCode) {}
    int status() const { return status_; }
    // The module's result code, 0 when the failure is not the module's.
    OSErr hostCode() const { return hostCode_; }

private:
    int status_;
    OSErr hostCode_ = 0;
};

// The host's name of a result code ("formatCannotRead"), or "" for a code it has no name for.
const char* HostCodeName(OSErr code);

// What went wrong, in words, followed by the code: "not an image in this format
// (formatCannotRead, -30501)". reading tells whether the code came from opening or saving; a
// system reason, when there is one, follows the words: "... written completely: No space left on
// device (writErr, -20)".
std::string DescribeHostCode(OSErr code, bool reading, const std::string& systemReason = "");

}  // namespace tniff_cli

#endif
