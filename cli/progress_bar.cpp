#include "cli/progress_bar.h"

#include <cstdio>
#include <unistd.h>

namespace tniff_cli {

namespace {
const int kBarWidth = 30;
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
    int filled = static_cast<int>(done * kBarWidth / total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    int percent = static_cast<int>(done * 100 / total);
    if (shown_ && percent == lastPercent_) return;
    lastPercent_ = percent;
    std::fprintf(stderr, "\r\033[K%s [%s] %3d%%", label_.c_str(), bar.c_str(), percent);
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
