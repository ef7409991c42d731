// Version banner and usage text.
//
// printVersion: the banner (name, version, build date, a closing notice),
// then the plain line "---". printUsage: the banner, a headline and the
// option lines, cut to the installed products (agent options where an
// agent or the zelt driver is installed, key options only with the full
// agent, server options with the manager or the Orrin console).
// printLegacyUsage: an older single-letter list the parser does not accept.
#pragma once

void printVersion();
void printUsage();
void printLegacyUsage();
