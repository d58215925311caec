#include "module/shell/error_report.h"

bool PostError(int16_t* resultWord, OSErr code) {
    if (code == noErr) return true;
    if (*resultWord == noErr) *resultWord = code;
    return false;
}

bool PostCancelIf(int16_t* resultWord, bool condition) {
    if (!condition) return true;
    return PostError(resultWord, userCanceledErr);
}
