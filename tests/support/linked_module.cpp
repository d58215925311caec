#include "tests/support/linked_module.h"

#include "module/platform/portable_hooks.h"

LinkedFileCalls::LinkedFileCalls(tniff::Host& host) {
    PlatformFileCalls calls;
    calls.context = &host;
    calls.read = &tniff::Host::FileRead;
    calls.write = &tniff::Host::FileWrite;
    calls.seek = &tniff::Host::FileSeek;
    PlatformSetFileCalls(&calls);  // copied by the platform layer
}

LinkedFileCalls::~LinkedFileCalls() { PlatformSetFileCalls(nullptr); }
