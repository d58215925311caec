// The module file tniff loads, found by the search every front end uses.
#include "cli/commands.h"

namespace tniff_cli {

namespace {

tarniff::ModuleSearch ToolSearch(const Options& options) {
    tarniff::ModuleSearch search;
    search.named = options.modulePath;
    search.candidates = tarniff::ModuleSearchPaths();
    search.nameIt = tarniff::kNameModuleWithOption;
    return search;
}

}  // namespace

std::string ToolModulePath(const Options& options) {
    return tarniff::FindModulePath(ToolSearch(options));
}

tarniff::ModuleFile LoadToolModule(const Options& options) {
    return tarniff::FindModule(ToolSearch(options));
}

}  // namespace tniff_cli
