// The check of the host before estimating and saving, as a user sees it: the warning box and its
// text, at most one per check, the step cancelled and the file untouched; and the text toolkit
// the warning is built with.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host/host.h"
#include "module/platform/platform.h"
#include "module/resources/resource_ids.h"
#include "module/shell/counted_text.h"
#include "module/shell/host_alert.h"
#include "module/shell/module_instance.h"
#include "tests/support/host_checks.h"
#include "tests/support/linked_module.h"
#include "tests/support/temp_file.h"
#include "tests/support/ui_capture.h"

namespace {

const std::string kNeeds25 = "This plug-in requires Adobe Photoshop\xAE 2.5 or later functionality.";
const std::string kNeeds30 = "This plug-in requires Adobe Photoshop\xAE 3.0 or later functionality.";
const std::string kTooNew = "This plug-in is incompatible with this version of the host program.";

struct AlertCase {
    const char* name;
    std::function<void(tniff::HostSetup&)> change;
    std::string expected;  // empty: the host passes and nothing is shown
};

const AlertCase kAlertCases[] = {
    {"complete host", [](tniff::HostSetup&) {}, ""},
    {"no buffer suite", [](tniff::HostSetup& s) { s.bufferSuite = false; }, kNeeds25},
    {"buffer suite version 1", [](tniff::HostSetup& s) { s.bufferProcsVersion = 1; }, kNeeds25},
    {"buffer suite version 3", [](tniff::HostSetup& s) { s.bufferProcsVersion = 3; }, kTooNew},
    {"buffer suite of 4 routines", [](tniff::HostSetup& s) { s.numBufferProcs = 4; }, kNeeds25},
    {"buffer suite without spaceProc",
     [](tniff::HostSetup& s) { s.missingBufferRoutine = tniff::BufferRoutine::space; }, kNeeds25},
    {"buffer suite without allocateProc",
     [](tniff::HostSetup& s) { s.missingBufferRoutine = tniff::BufferRoutine::allocate; }, kNeeds25},
    {"no advanceState", [](tniff::HostSetup& s) { s.advanceState = false; }, kNeeds30},
    {"no handle suite", [](tniff::HostSetup& s) { s.handleSuite = false; }, kNeeds30},
    {"handle suite of 6 routines", [](tniff::HostSetup& s) { s.numHandleProcs = 6; }, kNeeds30},
    {"handle suite version 2", [](tniff::HostSetup& s) { s.handleProcsVersion = 2; }, kTooNew},
    {"handle suite without setSizeProc",
     [](tniff::HostSetup& s) { s.missingHandleRoutine = tniff::HandleRoutine::setSize; }, kNeeds30},
    {"neither buffer nor handle suite",
     [](tniff::HostSetup& s) {
         s.bufferSuite = false;
         s.handleSuite = false;
     },
     kNeeds25},
    {"too new buffer suite, no handle suite",
     [](tniff::HostSetup& s) {
         s.bufferProcsVersion = 3;
         s.handleSuite = false;
     },
     kTooNew},
    {"no advanceState, no handle suite",
     [](tniff::HostSetup& s) {
         s.advanceState = false;
         s.handleSuite = false;
     },
     kNeeds30},
};

void ExpectOneAlert(const UiCapture& ui, size_t index, const std::string& text, const char* name) {
    ASSERT_GT(ui.messages().size(), index) << name;
    const UiCapture::ShownMessage& shown = ui.messages()[index];
    EXPECT_EQ(shown.text, text) << name;
    EXPECT_FALSE(shown.hasCaption) << name;
    EXPECT_EQ(shown.owner, 0) << name;
    EXPECT_EQ(shown.style, uint32_t(kPlatformMessageOk | kPlatformMessageExclamation)) << name;
}

TEST(HostAlertTest, EstimateStartShowsWhatTheHostLacksAndCancels) {
    for (const AlertCase& c : kAlertCases) {
        tniff::HostSetup setup;
        c.change(setup);
        UiCapture ui;
        ui.setMessageAnswer(1);
        LinkedHost host(setup);
        host.SetImage(tniff::Image(20, 10, 3));
        host.record().minDataBytes = -7;
        host.record().maxDataBytes = -7;
        static char marker;
        host.record().data = &marker;
        const OSErr result = host.Call(formatSelectorEstimateStart);
        if (c.expected.empty()) {
            EXPECT_EQ(result, noErr) << c.name;
            EXPECT_TRUE(ui.messages().empty()) << c.name;
            EXPECT_EQ(host.record().minDataBytes, 600) << c.name;
        } else {
            EXPECT_EQ(result, userCanceledErr) << c.name;
            EXPECT_EQ(ui.messages().size(), 1u) << c.name;
            ExpectOneAlert(ui, 0, c.expected, c.name);
            EXPECT_EQ(host.record().minDataBytes, -7) << c.name;
            EXPECT_EQ(host.record().maxDataBytes, -7) << c.name;
            EXPECT_TRUE(host.record().data == &marker) << c.name;
        }
        // The module's state record lives whether or not the host's handle suite serves it.
        EXPECT_NE(host.dataWord(), 0) << c.name;
        EXPECT_TRUE(HostIsClean(host)) << c.name;
    }
}

TEST(HostAlertTest, WriteStartShowsTheSameAlertAndLeavesTheFileUntouched) {
    for (const AlertCase& c : kAlertCases) {
        if (c.expected.empty()) continue;
        tniff::HostSetup setup;
        c.change(setup);
        UiCapture ui;
        LinkedHost host(setup);
        host.SetImage(tniff::Image(20, 10, 3));
        TempFile file;
        ASSERT_TRUE(host.OpenFile(file.path(), tniff::HostFile::Mode::write));
        const tniff::CallCounts before = host.counts();
        EXPECT_EQ(host.Call(formatSelectorWriteStart), userCanceledErr) << c.name;
        EXPECT_EQ(host.counts().fileWrites, before.fileWrites) << c.name;
        EXPECT_EQ(host.counts().fileSeeks, before.fileSeeks) << c.name;
        EXPECT_EQ(host.counts().advanceStates, before.advanceStates) << c.name;
        EXPECT_EQ(host.counts().bufferAllocations, before.bufferAllocations) << c.name;
        host.CloseFile();
        EXPECT_TRUE(file.Read().empty()) << c.name;
        EXPECT_EQ(ui.messages().size(), 1u) << c.name;
        ExpectOneAlert(ui, 0, c.expected, c.name);
        EXPECT_TRUE(HostIsClean(host)) << c.name;
    }
}

TEST(HostAlertTest, AWholeSaveStopsAtTheEstimateWithOneAlert) {
    tniff::HostSetup setup;
    setup.bufferProcsVersion = 3;
    UiCapture ui;
    LinkedHost host(setup);
    TempFile file;
    EXPECT_EQ(host.Save(tniff::Image(8, 8, 3), file.path()), userCanceledErr);
    EXPECT_EQ(ui.messages().size(), 1u);
    EXPECT_TRUE(file.Read().empty());
    EXPECT_TRUE(HostIsClean(host));
}

// ---- The alert routine and its texts ------------------------------------------------------------

CountedText MakeText(const std::string& text) {
    CountedText counted;
    CountedTextClear(&counted);
    CountedTextAppend(&counted, reinterpret_cast<const uint8_t*>(text.data()), 0, uint16_t(text.size()));
    return counted;
}

std::string TextOf(const CountedText& text) {
    // The characters, and the 0 byte that every change leaves after them.
    EXPECT_EQ(text.bytes[text.bytes[0] + 1], 0);
    return std::string(reinterpret_cast<const char*>(text.bytes + 1), text.bytes[0]);
}

TEST(HostAlertTest, ShowHostAlertFillsTheMessageAndPassesTheAnswerBack) {
    UiCapture ui;
    ui.setMessageAnswer(7);
    CountedText version = MakeText("3.0");
    EXPECT_EQ(ShowHostAlert(ModuleInstance, 0x42, kHostAlertId, kRequiresHostVersionStringId, &version, nullptr), 7);
    EXPECT_EQ(ShowHostAlert(ModuleInstance, 0, kHostAlertId, kHostTooNewStringId, &version, nullptr), 7);
    EXPECT_EQ(ShowHostAlert(ModuleInstance, 0, 1, 0, &version, nullptr), 7);
    ASSERT_EQ(ui.messages().size(), 3u);
    EXPECT_EQ(ui.messages()[0].text, kNeeds30);
    EXPECT_EQ(ui.messages()[0].owner, 0x42);
    EXPECT_EQ(ui.messages()[1].text, kTooNew);
    EXPECT_EQ(ui.messages()[2].text, "");  // no message id: an empty box
}

TEST(HostAlertTest, AlertIdZeroShowsNothing) {
    UiCapture ui;
    ui.setMessageAnswer(7);
    CountedText version = MakeText("2.5");
    EXPECT_EQ(ShowHostAlert(ModuleInstance, 0, 0, kRequiresHostVersionStringId, &version, &version), 0);
    EXPECT_TRUE(ui.messages().empty());
}

TEST(CountedTextTest, PlaceholdersAreFilledAsTheScanMeetsThem) {
    struct Case {
        const char* message;
        const char* values[3];  // null: absent
        const char* expected;
    };
    const Case cases[] = {
        {"^0, ^1 and ^2", {"A", "B", "C"}, "A, B and C"},
        {"[^1]", {nullptr, nullptr, nullptr}, "[]"},
        {"^^1", {nullptr, "x", nullptr}, "^x"},
        {"a^3b", {"A", "B", "C"}, "a^3b"},
        {"ends with ^", {"A", "B", "C"}, "ends with ^"},
        {"1 and 2", {"A", "B", "C"}, "1 and 2"},
        {"^1^2", {nullptr, "", "y"}, "^2"},
        {"^1!", {nullptr, "", "y"}, "!"},
        // The first character of a value is passed over, the rest scanned in turn.
        {"<^1>", {nullptr, "x^2", "Z"}, "<xZ>"},
        {"^12", {nullptr, "^", nullptr}, "^2"},
        {"^1^1", {nullptr, "ab", nullptr}, "abab"},
    };
    for (const Case& c : cases) {
        CountedText message = MakeText(c.message);
        CountedText values[3];
        const CountedText* given[3] = {nullptr, nullptr, nullptr};
        for (int k = 0; k < 3; ++k) {
            if (c.values[k] == nullptr) continue;
            values[k] = MakeText(c.values[k]);
            given[k] = &values[k];
        }
        ExpandPlaceholders(&message, given[0], given[1], given[2]);
        EXPECT_EQ(TextOf(message), c.expected) << c.message;
    }
}

TEST(CountedTextTest, TextIsCutAtTwoHundredFiftyFourCharacters) {
    CountedText text = MakeText(std::string(250, 'a'));
    const std::string tail = "0123456789";
    CountedTextAppend(&text, reinterpret_cast<const uint8_t*>(tail.data()), 0, 10);
    EXPECT_EQ(TextOf(text), std::string(250, 'a') + "0123");
    EXPECT_EQ(text.bytes[255], 0);

    // From a start index, and from another counted text (its characters begin at 1).
    CountedText other = MakeText("xyz");
    CountedText joined = MakeText("ab");
    CountedTextAppend(&joined, reinterpret_cast<const uint8_t*>(tail.data()), 8, 2);
    CountedTextAppend(&joined, other.bytes, 1, other.bytes[0]);
    EXPECT_EQ(TextOf(joined), "ab89xyz");

    // A filled placeholder cannot push a message past the limit either.
    CountedText message = MakeText(std::string(250, 'm') + "^1");
    CountedText value = MakeText(std::string(20, 'v'));
    ExpandPlaceholders(&message, nullptr, &value, nullptr);
    EXPECT_EQ(TextOf(message), std::string(250, 'm') + "vvvv");

    CountedTextClear(&joined);
    EXPECT_EQ(joined.bytes[0], 0);
    EXPECT_EQ(joined.bytes[1], 0);
}

TEST(CountedTextTest, NumbersAreWrittenWithTheAskedDecimals) {
    struct Case {
        double value;
        int16_t decimals;
        const char* expected;
    };
    const Case cases[] = {
        {2.5, 1, "2.5"},   {3.0, 1, "3.0"},  {0.96, 1, "1.0"},   {2.25, 2, "2.25"},
        {2.5, 2, "2.5"},   {12, 0, "12.0"},  {1.999, 2, "2.0"},  {0.05, 1, "0.1"},
        {7.125, 3, "7.125"}, {0, 1, "0.0"},  {1234.5, 0, "1235.0"},
    };
    for (const Case& c : cases) {
        CountedText text = MakeText("left over");
        FormatDecimal(&text, c.value, c.decimals);
        EXPECT_EQ(TextOf(text), c.expected) << c.value << " with " << c.decimals;
    }
    const std::pair<int32_t, const char*> integers[] = {
        {0, "0"}, {7, "7"}, {-45, "-45"}, {2147483647, "2147483647"}, {INT32_MIN, "-2147483648"}};
    for (const auto& [value, expected] : integers) {
        CountedText text = MakeText("left over");
        FormatInteger(value, &text);
        EXPECT_EQ(TextOf(text), expected);
    }
    EXPECT_EQ(PowerOfTen(0), 1.0);
    EXPECT_EQ(PowerOfTen(3), 1000.0);
}

}  // namespace
