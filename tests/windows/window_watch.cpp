#include "tests/windows/window_watch.h"

#include <cstdio>

namespace {

// The watch of this thread; hooks and timer procedures take no context of their own.
WindowWatch* gWatch = nullptr;

struct PendingPress {
    UINT_PTR timer;
    HWND dialog;
};
std::vector<PendingPress> gPending;

std::string WindowText(HWND window) {
    char text[1024] = {0};
    GetWindowTextA(window, text, static_cast<int>(sizeof text));
    return text;
}

std::string ClassOf(HWND window) {
    char name[64] = {0};
    GetClassNameA(window, name, static_cast<int>(sizeof name));
    return name;
}

// Presses OK the way a click does: the button reports the click to its dialog.
void PressOk(HWND dialog) {
    if (!IsWindow(dialog)) return;
    HWND ok = GetDlgItem(dialog, IDOK);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
}

RECT ClientRectOf(HWND child) {
    RECT r = {};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

BOOL CALLBACK FindPicture(HWND child, LPARAM context) {
    ShownDialog* shown = reinterpret_cast<ShownDialog*>(context);
    LONG style = GetWindowLongA(child, GWL_STYLE);
    if (ClassOf(child) != "Static" || (style & SS_TYPEMASK) != SS_BITMAP) return TRUE;
    HBITMAP bitmap = reinterpret_cast<HBITMAP>(SendMessageA(child, STM_GETIMAGE, IMAGE_BITMAP, 0));
    BITMAP info = {};
    if (bitmap != nullptr && GetObjectA(bitmap, sizeof info, &info) == sizeof info) {
        shown->hasPicture = true;
        shown->pictureWidth = info.bmWidth;
        shown->pictureHeight = info.bmHeight;
        shown->pictureBits = info.bmBitsPixel;
        shown->pictureRect = ClientRectOf(child);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

WindowWatch::WindowWatch(unsigned holdMilliseconds, bool announce)
    : hold_(holdMilliseconds), announce_(announce) {
    gWatch = this;
    hook_ = SetWindowsHookExA(WH_CBT, &OnCbt, nullptr, GetCurrentThreadId());
}

WindowWatch::~WindowWatch() {
    if (hook_ != nullptr) UnhookWindowsHookEx(hook_);
    for (const PendingPress& p : gPending) KillTimer(nullptr, p.timer);
    gPending.clear();
    gWatch = nullptr;
}

void WindowWatch::Inspect(HWND dialog) {
    ShownDialog shown;
    shown.caption = WindowText(dialog);
    GetClientRect(dialog, &shown.client);
    HWND text = GetDlgItem(dialog, 0xFFFF);
    if (text != nullptr && ClassOf(text) == "Static" &&
        (GetWindowLongA(text, GWL_STYLE) & SS_TYPEMASK) != SS_BITMAP) {
        shown.messageText = WindowText(text);
    }
    HWND ok = GetDlgItem(dialog, IDOK);
    if (ok != nullptr && ClassOf(ok) == "Button") {
        shown.hasOkButton = true;
        shown.okText = WindowText(ok);
        shown.okIsDefault = (GetWindowLongA(ok, GWL_STYLE) & 0x0F) == BS_DEFPUSHBUTTON;
        shown.okRect = ClientRectOf(ok);
    }
    EnumChildWindows(dialog, &FindPicture, reinterpret_cast<LPARAM>(&shown));
    shown_.push_back(shown);
    if (announce_) {
        std::printf("shown: %s\n", shown.caption.c_str());
        std::fflush(stdout);
    }
}

LRESULT CALLBACK WindowWatch::OnCbt(int code, WPARAM wordParam, LPARAM longParam) {
    WindowWatch* watch = gWatch;
    if (code == HCBT_ACTIVATE && watch != nullptr) {
        HWND window = reinterpret_cast<HWND>(wordParam);
        bool seen = false;
        for (HWND w : watch->seen_) seen = seen || w == window;
        if (!seen && ClassOf(window) == "#32770") {
            watch->seen_.push_back(window);
            watch->Inspect(window);
            if (watch->hold_ == 0) {
                PressOk(window);
            } else {
                UINT_PTR timer = SetTimer(nullptr, 0, watch->hold_, &OnHoldOver);
                gPending.push_back({timer, window});
            }
        }
    }
    return CallNextHookEx(nullptr, code, wordParam, longParam);
}

void CALLBACK WindowWatch::OnHoldOver(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    for (size_t i = 0; i < gPending.size(); ++i) {
        if (gPending[i].timer == timer) {
            HWND dialog = gPending[i].dialog;
            gPending.erase(gPending.begin() + static_cast<long>(i));
            PressOk(dialog);
            return;
        }
    }
}
