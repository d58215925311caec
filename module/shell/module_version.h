// The module's version as text inside the module file. The file exports nothing but ENTRYPOINT,
// so a host that wants to know which build it loaded reads the text from the file itself.
#ifndef TNIFF_SHELL_MODULE_VERSION_H
#define TNIFF_SHELL_MODULE_VERSION_H

// "TarnIFF module version " followed by the version ("0.1.0").
extern const char kModuleVersionText[];

#endif
