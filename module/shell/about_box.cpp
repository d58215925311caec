#include "module/shell/about_box.h"

#include "module/resources/resource_ids.h"
#include "module/shell/module_instance.h"

void ShowAbout(const AboutRecord* about) {
    PlatformWindow owner = 0;
    if (about != nullptr && about->platformData != nullptr) owner = about->platformData->hwnd;
    PlatformDialogBox(ModuleInstance, kAboutDialogId, owner, AboutDialogProc, 0);
}

intptr_t PLATFORM_CALLBACK AboutDialogProc(PlatformWindow dialog, uint32_t message,
                                           uintptr_t wordParam, intptr_t) {
    const uintptr_t kOkButton = 1;
    const uintptr_t kCancelCommand = 2;
    if (message == kPlatformMessageInitDialog) return 1;
    if (message == kPlatformMessageCommand) {
        uintptr_t control = wordParam & 0xFFFFu;
        if (control == kOkButton || control == kCancelCommand) {
            PlatformEndDialog(dialog, 0);
            return 1;
        }
    }
    return 0;
}
