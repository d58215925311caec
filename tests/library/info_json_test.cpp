// The JSON of an inspection, in process, parsed by Python's json module: valid whatever bytes
// the name it carries holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarniff/tarniff.h"
#include "tests/support/file_makers.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_file.h"

namespace {

using namespace testfiles;

// Whatever bytes a file name holds, the JSON is valid UTF-8: each byte that is not part of a
// UTF-8 character (a Latin-1 name, a sequence cut short, a surrogate, past U+10FFFF) is U+FFFD,
// a UTF-8 name stays as it is, quotes and control characters are escaped, and the name in an
// error's message is written the same way.
TEST(InfoJson, IsValidWhateverBytesANameHolds) {
    ScratchDir scratch;
    const Bytes good = BuildIff(8, 8, 3, false, 1).bytes;
    std::vector<std::string> paths;
    for (const char* name : {"caf\xE9.iff", "caf\xC3\xA9.iff", "\xC3(\xE2\x82.iff",
                             "\xED\xA0\x80\xF4\x90\x80\x80.iff", "q\"\\\t.iff"}) {
        WriteFile(scratch / name, good);
        paths.push_back(scratch / name);
    }
    WriteText(scratch / "caf\xE9-text.iff", "This is a text file, not an image at all.\n");
    paths.push_back(scratch / "caf\xE9-text.iff");
    std::string json = "[";
    for (const std::string& path : paths) {
        const tarniff::Inspection inspection = tarniff::Inspect(BuiltModule(), path, {});
        EXPECT_EQ(inspection.opened, path.find("-text") == std::string::npos) << path;
        json += (json.size() > 1 ? ",\n" : "") + tarniff::InfoJson(inspection);
    }
    WriteText(scratch / "info.json", json + "]\n");
    const char* script = R"(
import json, sys
for entry in json.load(open(sys.argv[1], encoding='utf-8')):
    name = entry['file'].rsplit('/', 1)[1]
    error = entry['error'].startswith(entry['file'] + ': not an image') if 'error' in entry else '-'
    print(name.encode('unicode_escape').decode(), error)
)";
    const Outcome names = RunProgram("python3", {"-c", script, scratch / "info.json"});
    ASSERT_EQ(names.status, 0) << Describe(names);
    EXPECT_EQ(names.out, R"(caf\ufffd.iff -
caf\xe9.iff -
\ufffd(\ufffd\ufffd.iff -
\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd.iff -
q"\\\t.iff -
caf\ufffd-text.iff True
)");
}

}  // namespace
