// Watches the dialogs that code on this thread shows (message boxes, the About box), reads what a
// person would see in each, and presses its OK button, so no person is needed.
//
// A thread-local CBT hook sees every dialog window (class "#32770") as it is activated. It reads
// the caption, the message text (the static control 0xFFFF of a message box), the OK button and
// any bitmap picture control, then presses OK: at once, or after a hold time (to let a screenshot
// be taken).
#ifndef TNIFF_TESTS_WINDOWS_WINDOW_WATCH_H
#define TNIFF_TESTS_WINDOWS_WINDOW_WATCH_H

#include <windows.h>

#include <string>
#include <vector>

struct ShownDialog {
    std::string caption;
    std::string messageText;   // a message box's text; empty for other dialogs
    bool hasOkButton = false;  // a button with id 1
    std::string okText;
    bool okIsDefault = false;
    bool hasPicture = false;   // a static control showing a bitmap
    int pictureWidth = 0;      // of the bitmap the control shows, in pixels
    int pictureHeight = 0;
    int pictureBits = 0;       // bits per pixel of that bitmap
    RECT client = {};          // the dialog's client area
    RECT okRect = {};          // the OK button and the picture control in client coordinates
    RECT pictureRect = {};
};

class WindowWatch {
public:
    // holdMilliseconds: how long each dialog stays up before OK is pressed. announce: print
    // "shown: <caption>" on stdout (flushed) when a dialog is up, for a script that waits.
    explicit WindowWatch(unsigned holdMilliseconds = 0, bool announce = false);
    ~WindowWatch();
    WindowWatch(const WindowWatch&) = delete;
    WindowWatch& operator=(const WindowWatch&) = delete;

    const std::vector<ShownDialog>& shown() const { return shown_; }
    bool installed() const { return hook_ != nullptr; }

private:
    static LRESULT CALLBACK OnCbt(int code, WPARAM wordParam, LPARAM longParam);
    static void CALLBACK OnHoldOver(HWND, UINT, UINT_PTR timer, DWORD);
    void Inspect(HWND dialog);

    HHOOK hook_ = nullptr;
    unsigned hold_;
    bool announce_;
    std::vector<ShownDialog> shown_;
    std::vector<HWND> seen_;
};

#endif
