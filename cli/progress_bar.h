// The progress bar on stderr, drawn only when stderr is a terminal: "LABEL [####......]  42%"
// for one file, "files 12/200 [#####.....] 24.9 Mpx ... 0:53 left" for many.
#ifndef TNIFF_CLI_PROGRESS_BAR_H
#define TNIFF_CLI_PROGRESS_BAR_H

#include <cstdint>
#include <string>

#include "tarniff/tarniff.h"

namespace tniff_cli {

class ProgressBar {
public:
    // Draws nothing unless enabled and stderr is a terminal. label says what is going on
    // ("reading render.iff").
    ProgressBar(bool enabled, const std::string& label);
    ~ProgressBar();  // clears the line
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    bool drawing() const { return drawing_; }

    // Redraws with done of total steps, in the module's units (tiles, tile rows).
    void Update(int32_t done, int32_t total);
    // Update as the library's progress callback.
    tarniff::Progress Reporter() {
        return [this](int32_t done, int32_t total) { Update(done, total); };
    }
    // Starts over with a new label.
    void Relabel(const std::string& label);
    // A run of several steps shows as one bar: from now on Update's done of total fills the
    // index-th of count equal parts (index from 0), so the bar reaches 100% only at the end.
    void SetPhase(int index, int count);
    // The part of the run Update's steps fill now: the index-th of phases().
    int phase() const { return phase_; }
    int phases() const { return phases_; }
    // Also passes every update to observer (a host that shows progress its own way).
    void Observe(void (*observer)(void* context, int32_t done, int32_t total), void* context) {
        observer_ = observer;
        observerContext_ = context;
    }

    // Draws "BEFORE [bar] AFTER" with the bar fraction full, a bar of width columns when the
    // terminal has room; at most five times a second unless now.
    void Show(const std::string& before, double fraction, const std::string& after, int width,
              bool now);
    // Removes the bar from the terminal.
    void Clear();

private:
    bool drawing_;
    bool shown_ = false;
    int lastPercent_ = -1;
    double drawnAt_ = 0;
    int phase_ = 0;
    int phases_ = 1;
    std::string label_;
    void (*observer_)(void*, int32_t, int32_t) = nullptr;
    void* observerContext_ = nullptr;
};

// Seconds on a clock that only goes forward.
double NowSeconds();

}  // namespace tniff_cli

#endif
