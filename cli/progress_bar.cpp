#include "cli/progress_bar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace tniff_cli {

namespace {
const int kBarWidth = 30;
const int kNarrowestBar = 10;
}  // namespace

int TerminalColumns() {
    struct winsize size = {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    const char* columns = std::getenv("COLUMNS");
    const int given = columns != nullptr ? std::atoi(columns) : 0;
    return given > 0 ? given : 80;
}

std::string FitToTerminal(const std::string& line) {
    // The last column stays empty: a line that fills it wraps on some terminals, and every
    // redraw would then start a new line.
    const size_t room = static_cast<size_t>(std::max(TerminalColumns() - 1, 0));
    return line.size() <= room ? line : line.substr(0, room);
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
    // "LABEL [####......] 100%" within the terminal's width: the bar narrows first, down to
    // kNarrowestBar, then the label gives up its beginning (the file name is at its end).
    const int room = TerminalColumns() - 1;
    const int fixed = 8;  // " [", "] " and "100%"
    std::string label = label_;
    int width = std::min(kBarWidth, room - fixed - static_cast<int>(label.size()));
    if (width < kNarrowestBar) {
        width = std::max(0, std::min(kNarrowestBar, room - fixed));
        const int labelRoom = std::max(0, room - fixed - width);
        if (static_cast<int>(label.size()) > labelRoom) {
            label = labelRoom > 3 ? "..." + label.substr(label.size() - static_cast<size_t>(labelRoom - 3))
                                  : std::string();
        }
    }
    const int filled = static_cast<int>(done * width / total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    char tail[8];
    std::snprintf(tail, sizeof tail, "%3d%%", percent);
    const std::string line = label + " [" + bar + "] " + tail;
    std::fprintf(stderr, "\r\033[K%s", FitToTerminal(line).c_str());
    std::fflush(stderr);
    shown_ = true;
}

std::string FileNameOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void ProgressBar::Clear() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
}

}  // namespace tniff_cli
