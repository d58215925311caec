// The one search for the module file that tniff, the GIMP plug-in and the image loader share:
// the file the user named, then $TNIFF_MODULE, then the front end's own places, and a message
// in each front end's words when none is there. In process, with the variable set and restored.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"
#include "tests/support/temp_file.h"

namespace {

// Sets TNIFF_MODULE (or unsets it, for nullptr) for as long as it lives, then restores it.
class ModuleVariable {
public:
    explicit ModuleVariable(const char* value) {
        const char* was = std::getenv(tarniff::kModuleVariable);
        had_ = was != nullptr;
        if (had_) was_ = was;
        if (value != nullptr) {
            setenv(tarniff::kModuleVariable, value, 1);
        } else {
            unsetenv(tarniff::kModuleVariable);
        }
    }
    ~ModuleVariable() {
        if (had_) {
            setenv(tarniff::kModuleVariable, was_.c_str(), 1);
        } else {
            unsetenv(tarniff::kModuleVariable);
        }
    }

private:
    bool had_ = false;
    std::string was_;
};

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// What the search gives: the path of the module it loaded, or the message it threw.
std::string Outcome(const tarniff::ModuleSearch& search) {
    try {
        return tarniff::FindModule(search).path;
    } catch (const tarniff::Error& error) {
        return std::string("error: ") + error.what();
    }
}

TEST(ModuleSearch, TakesTheNamedFileThenTheVariableThenTheFirstCandidateThere) {
    ScratchDir scratch;
    const std::string module = TNIFF_MODULE_FILE;
    const std::string missing = scratch / "missing/TnIffFormat.so";
    // There, but no module: a search that took it would fail to load it.
    const std::string notAModule = scratch / "TnIffFormat.so";
    WriteText(notAModule, "not a module\n");

    struct Case {
        const char* what;
        const char* variable;  // nullptr: unset
        std::string named;
        bool useVariable;
        std::vector<std::string> candidates;
        std::string expected;  // the path loaded, or "error: " and the start of the message
    };
    const Case cases[] = {
        {"the first candidate that is there",
         nullptr,
         "",
         true,
         {missing, module, notAModule},
         module},
        {"an empty variable counts as unset", "", "", true, {module}, module},
        {"the variable before every candidate", module.c_str(), "", true, {notAModule}, module},
        {"the variable only where the front end consults it",
         notAModule.c_str(),
         "",
         false,
         {module},
         module},
        {"the named file before the variable",
         notAModule.c_str(),
         module,
         true,
         {notAModule},
         module},
        {"a variable naming a missing file is final, and said to be the variable's",
         missing.c_str(),
         "",
         true,
         {module},
         "error: " + missing +
             ": cannot load the module: No such file or directory (TNIFF_MODULE names it)"},
        {"a variable naming a file that is no module",
         notAModule.c_str(),
         "",
         true,
         {module},
         "error: cannot load the module: "},
        {"a named file that is missing is final, and the variable not blamed",
         module.c_str(),
         missing,
         true,
         {module},
         "error: " + missing + ": cannot load the module: No such file or directory"},
        {"a candidate there but no module is final",
         nullptr,
         "",
         true,
         {notAModule, module},
         "error: cannot load the module: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ModuleVariable variable(c.variable);
        tarniff::ModuleSearch search;
        search.named = c.named;
        search.useVariable = c.useVariable;
        search.candidates = c.candidates;
        search.nameIt = tarniff::kNameModuleWithVariable;
        const std::string outcome = Outcome(search);
        if (c.expected.rfind("error: ", 0) == 0) {
            EXPECT_EQ(outcome.compare(0, c.expected.size(), c.expected), 0) << outcome;
        } else {
            EXPECT_EQ(outcome, c.expected);
            EXPECT_EQ(tarniff::FindModulePath(search), c.expected);
        }
        const bool blamesVariable = outcome.find("TNIFF_MODULE names it") != std::string::npos;
        EXPECT_EQ(blamesVariable, c.useVariable && c.named.empty() && c.variable != nullptr &&
                                      c.variable[0] != '\0' && outcome.rfind("error: ", 0) == 0)
            << outcome;
    }
}

TEST(ModuleSearch, SaysWhereItLookedAndHowEachFrontEndsUserNamesAModule) {
    ScratchDir scratch;
    const std::string a = scratch / "a/TnIffFormat.so", b = scratch / "b/TnIffFormat.so";
    ModuleVariable unset(nullptr);
    struct Case {
        const char* frontEnd;
        const char* nameIt;
        const char* words;
    };
    for (const Case& c :
         {Case{"tniff", tarniff::kNameModuleWithOption,
               "name it with --module PATH or set TNIFF_MODULE"},
          Case{"the plug-ins", tarniff::kNameModuleWithVariable, "set TNIFF_MODULE to its path"}}) {
        SCOPED_TRACE(c.frontEnd);
        tarniff::ModuleSearch search;
        search.candidates = {a, b};
        search.nameIt = c.nameIt;
        const std::string expected = "error: cannot find the module " +
                                     std::string(tarniff::kModuleFileName) + " (looked in " + a +
                                     ", " + b + "); " + c.words;
        EXPECT_EQ(Outcome(search), expected);
        EXPECT_THROW(tarniff::FindModulePath(search), tarniff::Error);
    }
    // A front end without places of its own has only the variable.
    tarniff::ModuleSearch bare;
    bare.nameIt = tarniff::kNameModuleWithVariable;
    EXPECT_EQ(Outcome(bare), "error: cannot find the module " +
                                 std::string(tarniff::kModuleFileName) +
                                 "; set TNIFF_MODULE to its path");
    ModuleVariable set(TNIFF_MODULE_FILE);
    EXPECT_EQ(Outcome(bare), TNIFF_MODULE_FILE);
}

}  // namespace
