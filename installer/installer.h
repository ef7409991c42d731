// Kernel-module installer: the client of the kernel-module build service.
//
// What the front end and the key fetch call:
// - retrieveKernelModule runs one retrieval from the settings; it ends the
//   process itself on most outcomes and returns 1 (success) or 0 otherwise.
// - ares_resolve (installer/resolve.h) is the one-shot IPv4 lookup.
//
// The pieces it is built from, one header each:
// - installer/state.h: the run state and the protocol's fixed values.
// - installer/transport.h: TCP (with the http_proxy tunnel, proxy.h), TLS
//   with the client credential, and the GET exchange httpsRequest.
// - installer/replies.h: reply status, redirects, status markers, spinner,
//   and the module sent as an attachment.
// - installer/upload.h and installer/meter.h: the kernel-headers upload and
//   its progress meter.
#pragma once

#include "installer/resolve.h"
#include "setup/settings.h"

int retrieveKernelModule();
