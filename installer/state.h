// Run state of one module retrieval, and the installer's fixed values.
//
// - The option settings the installer reads (buildServiceHost, moduleType,
//   destDir, archFormValue, the retrieval flags, ...) live in
//   setup/settings.h; this header adds only what no option sets.
// - Everything here is process-wide, set to its initial value at start-up,
//   and written by one retrieval per process, on the one thread.
// - The progress meter's signal handler reads none of these.
#pragma once

#include <cstddef>
#include <string>

#include "setup/settings.h"

// Fixed values of the build-service protocol; no option changes them.
extern const int buildServicePort;  // 443
extern const int generation;        // 4: query key "gen", form field "gen"
// Template of every GET: the path, then buildServiceHost.
extern const char* const getRequestFormat;
// Template of the upload's request header: buildServiceHost, Content-Length.
extern const char* const postHeaderFormat;
// The client's own key and certificate, one PEM text (key block first).
extern const char* const clientKeyPem;

// Spinner line shown while the installer waits for the build service.
extern std::string statusText;        // "Waiting", then each STATUS marker
extern std::string spinnerExtraText;  // "" (never changed)
extern int spinnerTicks;              // spinner calls so far, silent or not
// 0 spinning; 1 a module file was written; 2 "Complete." has been shown.
extern int spinnerState;
// Attachments written so far: 0 while none was, and a query can tell its
// own delivery by the count going up.
extern int attachmentSaved;

// Set by the package step; removed by the driver's clean-up.
extern OptText tempDir;
extern std::string tarballPath;  // cut to kPathBufferSize - 1

// Request buffers of the GET exchanges: a request longer than this less one
// is cut, as the callers format it into fixed buffers.
constexpr std::size_t kGetRequestBufferSize = 8096;
constexpr std::size_t kLoopRequestBufferSize = 4096;

// Formats getRequestFormat with the path and buildServiceHost, cut to
// bufferSize - 1 characters.
std::string formatGetRequest(const std::string& path, std::size_t bufferSize = kGetRequestBufferSize);
