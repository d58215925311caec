#include "tests/support/ui_capture.h"

#include "module/platform/portable_hooks.h"

UiCapture::UiCapture() {
    PlatformUserInterfaceSink sink;
    sink.context = this;
    sink.messageBox = &OnMessageBox;
    sink.dialog = &OnDialog;
    PlatformSetUserInterfaceSink(&sink);
}

UiCapture::~UiCapture() { PlatformSetUserInterfaceSink(nullptr); }

int UiCapture::OnMessageBox(void* context, intptr_t owner, const char* text, const char* caption, uint32_t style) {
    UiCapture* capture = static_cast<UiCapture*>(context);
    capture->messages_.push_back(ShownMessage{owner, text != nullptr ? text : "", caption != nullptr,
                                              caption != nullptr ? caption : "", style});
    return capture->messageAnswer_;
}

int UiCapture::OnDialog(void* context, int dialogId, intptr_t owner) {
    UiCapture* capture = static_cast<UiCapture*>(context);
    capture->dialogs_.push_back(ShownDialog{dialogId, owner});
    return capture->dialogControl_;
}
