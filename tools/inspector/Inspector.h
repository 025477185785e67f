#pragma once
// The inspector command line: decode a batch, a bundle or a configuration file (raw or
// gzip) to readable text or JSON, encode a message from JSON, and print what an app keeps
// on disk (see StoreDump.h).
//
//   tallywise-inspect decode <batch|bundle|config> <file|-> [--format text|json] [--compact]
//   tallywise-inspect encode <config|bundle|batch> <json-file|-> -o <file|-> [--gzip]
//   tallywise-inspect db <database> [--json] [--limit N]
//   tallywise-inspect plist <file> [--json]
//
// Thread-safety: runInspector touches only its arguments and the files they name.

#include <iosfwd>
#include <string>
#include <vector>

namespace tools {

// Runs one inspector command; `args` excludes the program name. Output goes to `out`,
// diagnostics to `err`. Returns the process exit status (0 on success).
int runInspector(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace tools
