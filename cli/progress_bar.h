// A progress bar on stderr, drawn only when stderr is a terminal.
#ifndef TNIFF_CLI_PROGRESS_BAR_H
#define TNIFF_CLI_PROGRESS_BAR_H

#include <cstdint>
#include <string>

namespace tniff_cli {

class ProgressBar {
public:
    // Draws nothing unless enabled and stderr is a terminal. label says what is going on
    // ("reading render.iff").
    ProgressBar(bool enabled, const std::string& label);
    ~ProgressBar();  // clears the line
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Redraws with done of total steps, in the module's units (tiles, tile rows).
    void Update(int32_t done, int32_t total);
    // Starts over with a new label.
    void Relabel(const std::string& label);
    // A run of several steps shows as one bar: from now on Update's done of total fills the
    // index-th of count equal parts (index from 0), so the bar reaches 100% only at the end.
    void SetPhase(int index, int count);
    // Removes the bar from the terminal.
    void Clear();
    // Also passes every update to observer (a host that shows progress its own way).
    void Observe(void (*observer)(void* context, int32_t done, int32_t total), void* context) {
        observer_ = observer;
        observerContext_ = context;
    }

    // The part of the run Update's steps fill now: the index-th of phases().
    int phase() const { return phase_; }
    int phases() const { return phases_; }

private:
    bool drawing_;
    bool shown_ = false;
    int lastPercent_ = -1;
    int phase_ = 0;
    int phases_ = 1;
    std::string label_;
    void (*observer_)(void*, int32_t, int32_t) = nullptr;
    void* observerContext_ = nullptr;
};

// The width of the terminal on stderr, else $COLUMNS, else 80.
int TerminalColumns();
// line cut to fit one row of that terminal, its last column left empty.
std::string FitToTerminal(const std::string& line);

// The last part of a path, for a bar's label.
std::string FileNameOf(const std::string& path);

}  // namespace tniff_cli

#endif
