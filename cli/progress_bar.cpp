#include "cli/progress_bar.h"
#include "cli/system.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace tniff_cli {

namespace {
const int kBarWidth = 30;
const int kNarrowestBar = 10;

// The width of the terminal on stderr, else $COLUMNS, else 80.
int TerminalColumns() {
    const int terminal = StderrColumns();
    if (terminal > 0) return terminal;
    const char* columns = std::getenv("COLUMNS");
    const int given = columns != nullptr ? std::atoi(columns) : 0;
    return given > 0 ? given : 80;
}
}  // namespace

double NowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

ProgressBar::ProgressBar(bool enabled, const std::string& label)
    : drawing_(enabled && isatty(STDERR_FILENO) == 1), label_(label) {}

ProgressBar::~ProgressBar() { Clear(); }

void ProgressBar::Relabel(const std::string& label) {
    Clear();
    label_ = label;
}

void ProgressBar::SetPhase(int index, int count) {
    phases_ = count < 1 ? 1 : count;
    phase_ = index < 0 ? 0 : index >= phases_ ? phases_ - 1 : index;
}

void ProgressBar::Update(int32_t stepDone, int32_t stepTotal) {
    if (observer_ != nullptr) observer_(observerContext_, stepDone, stepTotal);
    if (!drawing_) return;
    if (stepTotal < 1) stepTotal = 1;
    if (stepDone < 0) stepDone = 0;
    if (stepDone > stepTotal) stepDone = stepTotal;
    // The whole run in steps: every phase counts stepTotal of them.
    const int64_t total = static_cast<int64_t>(stepTotal) * phases_;
    const int64_t done = static_cast<int64_t>(stepTotal) * phase_ + stepDone;
    int percent = static_cast<int>(done * 100 / total);
    if (shown_ && percent == lastPercent_) return;
    lastPercent_ = percent;
    char tail[8];
    std::snprintf(tail, sizeof tail, "%3d%%", percent);
    Show(label_, static_cast<double>(done) / static_cast<double>(total), tail, kBarWidth, true);
}

void ProgressBar::Show(const std::string& before, double fraction, const std::string& after,
                       int width, bool now) {
    if (!drawing_) return;
    const double time = NowSeconds();
    if (!now && shown_ && time - drawnAt_ < 0.2) return;
    drawnAt_ = time;
    // Within the terminal's width: the bar narrows first, down to kNarrowestBar, then the text
    // before it gives up its beginning (a file name is at its end), then the text after it its end.
    // The last column stays empty: a line that fills it wraps on some terminals, and every
    // redraw would then start a new line.
    const int room = TerminalColumns() - 1;
    const int fixed = 4 + static_cast<int>(after.size());  // " [", "] " and what follows
    std::string label = before;
    width = std::min(width, room - fixed - static_cast<int>(label.size()));
    if (width < kNarrowestBar) {
        width = std::max(0, std::min(kNarrowestBar, room - fixed));
        const int labelRoom = std::max(0, room - fixed - width);
        if (static_cast<int>(label.size()) > labelRoom) {
            label = labelRoom > 3
                        ? "..." + label.substr(label.size() - static_cast<size_t>(labelRoom - 3))
                        : std::string();
        }
    }
    fraction = std::max(0.0, std::min(1.0, fraction));
    const int filled = static_cast<int>(fraction * width);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    std::string line = label + " [" + bar + "] " + after;
    if (line.size() > static_cast<size_t>(std::max(room, 0)))
        line.resize(static_cast<size_t>(std::max(room, 0)));
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
    shown_ = true;
}

void ProgressBar::Clear() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
}

}  // namespace tniff_cli
