// An output file that appears whole or not at all: written under a temporary name in the
// destination's directory and renamed over the destination only once complete. A failed write
// leaves no partial file behind and never replaces an existing file with a broken one; neither
// does a run ended by SIGINT, SIGTERM or SIGHUP.
#ifndef TNIFF_CLI_PENDING_OUTPUT_H
#define TNIFF_CLI_PENDING_OUTPUT_H

#include <string>

namespace tniff_cli {

class PendingOutput {
public:
    // Creates an empty temporary file beside destination; throws ToolError when it cannot.
    explicit PendingOutput(const std::string& destination);
    // Removes the temporary file unless Commit succeeded.
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    // Where to write: an existing, empty file.
    const std::string& path() const { return temporary_; }
    // Flushes the temporary file to disk and renames it to the destination; throws ToolError
    // (and keeps the destination as it was) when either fails.
    void Commit();

private:
    std::string destination_;
    std::string temporary_;
    bool committed_ = false;
};

}  // namespace tniff_cli

#endif
