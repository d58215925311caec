// Captures what a user would see: while a UiCapture lives, the module's message boxes and
// dialogs are recorded instead of shown, and answered as the test chooses.
#ifndef TNIFF_TESTS_SUPPORT_UI_CAPTURE_H
#define TNIFF_TESTS_SUPPORT_UI_CAPTURE_H

#include <cstdint>
#include <string>
#include <vector>

class UiCapture {
public:
    struct ShownMessage {
        intptr_t owner;
        std::string text;
        bool hasCaption;      // false: the platform's default caption
        std::string caption;  // empty when hasCaption is false
        uint32_t style;       // button and icon flags (kPlatformMessageOk, kPlatformMessageExclamation ...)
    };
    struct ShownDialog {
        int dialogId;
        intptr_t owner;
    };

    UiCapture();   // installs the capture
    ~UiCapture();  // restores the platform's default (a line on stderr, OK pressed)
    UiCapture(const UiCapture&) = delete;
    UiCapture& operator=(const UiCapture&) = delete;

    // The button a message box answers with (1, OK, unless set).
    void setMessageAnswer(int button) { messageAnswer_ = button; }
    // The control a dialog presses once initialised (1, OK, unless set; 2 is cancel; 0 closes
    // it without pressing anything).
    void setDialogControl(int control) { dialogControl_ = control; }

    const std::vector<ShownMessage>& messages() const { return messages_; }
    const std::vector<ShownDialog>& dialogs() const { return dialogs_; }

private:
    static int OnMessageBox(void* context, intptr_t owner, const char* text, const char* caption, uint32_t style);
    static int OnDialog(void* context, int dialogId, intptr_t owner);

    int messageAnswer_ = 1;
    int dialogControl_ = 1;
    std::vector<ShownMessage> messages_;
    std::vector<ShownDialog> dialogs_;
};

#endif
