// Reporting errors to the host: the result word of the current call holds the first error
// posted; later ones are dropped.
#ifndef TNIFF_SHELL_ERROR_REPORT_H
#define TNIFF_SHELL_ERROR_REPORT_H

#include "hostapi/plugin_interface.h"

// Posts code: stores it only while the result word is 0. True when code is 0 (nothing posted).
bool PostError(int16_t* resultWord, OSErr code);

// When condition holds, posts userCanceledErr (-128) by the same rule and gives false;
// otherwise changes nothing and gives true.
bool PostCancelIf(int16_t* resultWord, bool condition);

#endif
