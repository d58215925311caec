// tniff convert IN... --to TYPE [-o DIR]: many files in one command, several at once.
#ifndef TNIFF_CLI_BATCH_CONVERT_H
#define TNIFF_CLI_BATCH_CONVERT_H

#include "cli/commands.h"

namespace tniff_cli {

// Whether a convert command line is the many-files form: -o, -j, --overwrite or --stop-on-error
// given; more than two operands; one operand and --to; or two operands and --to naming another
// type than the second operand's extension (which then is an input, not OUT). Otherwise it is
// IN OUT.
bool IsBatchForm(const Options& options);

// Converts every operand to a file of the same base name with --to's extension, in -o DIR or
// beside it; gives 0 when every file was converted or skipped, 1 when any failed.
int RunBatchConvert(const Options& options);

}  // namespace tniff_cli

#endif
