// An output file that appears whole or not at all: written under a temporary name in the
// destination's directory and renamed over the destination only once complete. A failed write
// leaves no partial file behind and never replaces an existing file with a broken one; neither
// does a run ended by SIGINT, SIGTERM or SIGHUP.
#ifndef TNIFF_CLI_PENDING_OUTPUT_H
#define TNIFF_CLI_PENDING_OUTPUT_H

#include <string>

namespace tniff_cli {

// Where writing to path ends up: symbolic links are followed (also to a target that does not
// exist yet), so that replacing an output replaces the link's target and keeps the link. Links
// that never end (a loop, or more in a row than the system follows) give path as it is, and
// *endless, when asked for, says so.
std::string FollowLinks(const std::string& path, bool* endless = nullptr);

// Where writing to path ends up (FollowLinks; "-" stays "-"). Throws ToolError for an output
// whose symbolic links never end: nothing can be written there, and renaming over the last link
// reached would replace a link with a file. A link to a file that does not exist yet is an
// output like any other: the file is made.
std::string RefuseEndlessLinks(const std::string& path);

// "-": standard input or output.
bool IsStandardStream(const std::string& path);

class PendingOutput {
public:
    // Creates an empty temporary file beside destination; throws ToolError when it cannot. A
    // destination that is a symbolic link stands for its target, which is replaced (the link
    // stays); links that never end are refused (RefuseEndlessLinks), and so is a destination
    // that is a directory ("NAME: cannot write: it is a directory"), before anything is written.
    // The new file keeps the mode and, where allowed, the group of the file it replaces.
    // For "-" the temporary file is made in $TMPDIR (or /tmp) and Commit copies it to stdout.
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
    std::string destination_;  // after following symbolic links
    bool toStdout_;
    std::string temporary_;
    bool committed_ = false;
};

}  // namespace tniff_cli

#endif
