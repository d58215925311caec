// Frame patterns among the operands, turned into the files they stand for.
#include "cli/frame_operands.h"

#include "cli/system.h"

namespace tniff_cli {

using namespace tarniff;

bool AnyFramePattern(const std::vector<std::string>& operands) {
    FramePattern pattern;
    for (const std::string& operand : operands) {
        if (!IsStandardStream(operand) && ParseFramePattern(operand, &pattern)) return true;
    }
    return false;
}

std::vector<OperandFiles> ExpandOperands(const Options& options,
                                         const std::vector<std::string>& operands) {
    std::vector<int64_t> listed;
    if (options.framesGiven) {
        if (!AnyFramePattern(operands)) {
            throw Error("--frames " + options.frames +
                            ": no frame pattern among the files (name them as frame.####.iff "
                            "or frame.%04d.iff)",
                        kExitUsage);
        }
        listed = ParseFrameList(options.frames);
    }
    std::vector<OperandFiles> expanded;
    for (const std::string& operand : operands) {
        OperandFiles one;
        one.operand = operand;
        one.isPattern = !IsStandardStream(operand) && ParseFramePattern(operand, &one.pattern);
        if (!one.isPattern) {
            one.files.push_back(operand);
            expanded.push_back(std::move(one));
            continue;
        }
        one.frames = options.framesGiven ? listed : FramesPresent(one.pattern);
        if (one.frames.empty()) {
            throw Error(operand + ": no file matches this frame pattern");
        }
        for (int64_t frame : one.frames) {
            one.files.push_back(FramePath(one.pattern, frame));
            PathFacts facts;
            if (options.framesGiven && !LookAt(one.files.back(), &facts))
                one.missing.push_back(frame);
        }
        expanded.push_back(std::move(one));
    }
    return expanded;
}

}  // namespace tniff_cli
