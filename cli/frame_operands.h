// The operands of convert and info with frame patterns in them: each pattern stands for its
// frames, those --frames names or else those that are there.
#ifndef TNIFF_CLI_FRAME_OPERANDS_H
#define TNIFF_CLI_FRAME_OPERANDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "tarniff/tarniff.h"

namespace tniff_cli {

// One operand and the files it stands for.
struct OperandFiles {
    std::string operand;
    bool isPattern = false;
    tarniff::FramePattern pattern;   // when isPattern
    std::vector<int64_t> frames;     // when isPattern: of each file
    std::vector<std::string> files;  // a plain operand: itself; a pattern: each frame's path
    std::vector<int64_t> missing;    // frames --frames names whose file is not there
};

// Whether any operand is a frame pattern.
bool AnyFramePattern(const std::vector<std::string>& operands);

// The files of each operand, in order. With --frames every pattern takes those frames, the
// missing ones included (and listed in missing); without, the frames that are there. Throws
// Error for a pattern that matches no file and (usage) for --frames with no pattern.
std::vector<OperandFiles> ExpandOperands(const Options& options,
                                         const std::vector<std::string>& operands);

}  // namespace tniff_cli

#endif
