// tniff convert IN... --to TYPE [-o DIR]: many files in one command, several at once.
#ifndef TNIFF_CLI_BATCH_CONVERT_H
#define TNIFF_CLI_BATCH_CONVERT_H

#include "cli/commands.h"

namespace tniff_cli {

// Whether a convert command line is the many-files form: -o, -j, --overwrite or --stop-on-error
// given; more than two operands; or --to given, unless the operands are IN OUT with - among them
// or - alone (standard input to standard output). With --to, two named files are two inputs,
// never IN OUT, so that a pattern that finds two files means what it means for three.
bool IsBatchForm(const Options& options);

// Converts every operand to a file of the same base name with --to's extension, in -o DIR or
// beside it; gives 0 when every file was converted or skipped, 1 when any failed.
int RunBatchConvert(const Options& options);

}  // namespace tniff_cli

#endif
