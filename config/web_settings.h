// The manager's web settings (conf/web.properties under the working
// directory) and the port operations built on them.
//
// - webSettings holds the built-in defaults from program start until
//   ReadJettyConfig overwrites the settings the file names; the writer
//   always produces the same seven lines from it, in a fixed order, and
//   keeps nothing else of the old file (comments, unknown keys).
// - Keys are compared over their own length, booleans are true when the
//   value starts with "true", numbers are read like atol (held to the
//   32-bit range), the last duplicate wins. The keystore value is kept as
//   read, line feed included, so a rewritten file carries one empty line
//   after it (and never more).
// - The file is rewritten whole where it stands (through a link, in place
//   for a hard-linked or bind-mounted file), via a temporary copy or with
//   the room reserved first: a failed write leaves the old file in place
//   (a rewrite in place only where the room could be reserved, and not
//   after a crash in its middle). What is not a regular file is neither
//   read nor written. A setter does not write when the old file exists but
//   could not be read, so defaults never replace its settings.
// - Results: 1 is success for the reader, the writer and both setters.
#pragma once

#include <cstdint>
#include <string>

#include "config/config.h"

struct WebSettings {
  unsigned char httpEnabled = 1;
  std::int32_t httpPort = 80;
  std::int32_t httpMaxConnections = 100;
  unsigned char sslEnabled = 1;
  std::int32_t sslPort = 443;
  std::int32_t sslMaxConnections = 100;
  OptText sslKeystore;  // as read from the file, line feed included
};

// Process-wide: the whole tool shares one copy of the settings.
extern WebSettings webSettings;

constexpr int kMaxManagerPort = 32767;

// The seven lines the writer produces for these settings.
std::string formatWebSettings(const WebSettings& settings, const std::string& workDir);
// Applies one line (or piece of a line) of the file to the settings.
void applyWebSettingsLine(WebSettings& settings, const std::string& line);
