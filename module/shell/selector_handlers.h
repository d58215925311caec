// The handlers that the entry point dispatches to. Each takes the locked state record and
// reports only through the result word.
#ifndef TNIFF_SHELL_SELECTOR_HANDLERS_H
#define TNIFF_SHELL_SELECTOR_HANDLERS_H

struct PluginGlobals;

typedef void (*SelectorHandler)(PluginGlobals* globals);

// Reading.
void FilterFile(PluginGlobals* globals);
void ReadPrepare(PluginGlobals* globals);
void ReadStart(PluginGlobals* globals);
void ReadContinue(PluginGlobals* globals);
void ReadFinish(PluginGlobals* globals);

// Saving.
void EstimatePrepare(PluginGlobals* globals);
void EstimateStart(PluginGlobals* globals);
void WriteStart(PluginGlobals* globals);
void WriteFinish(PluginGlobals* globals);

// The selectors the module has nothing to do for.
void DoNothing(PluginGlobals* globals);

#endif
