#include "tools/inspector/Inspector.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "platform/Gzip.h"
#include "tools/common/TLWPBJson.h"
#include "tools/inspector/StoreDump.h"

namespace tools {
namespace {

bool readInput(const std::string& path, std::istream& in, std::vector<std::uint8_t>* bytes, std::ostream& err) {
  if (path == "-") {
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    err << "cannot open " << path << "\n";
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

bool writeOutput(const std::string& path, const std::vector<std::uint8_t>& bytes, std::ostream& out,
                 std::ostream& err) {
  if (path == "-") {
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!file) {
    err << "cannot write " << path << "\n";
    return false;
  }
  return true;
}

}  // namespace

int runInspector(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  CLI::App app{"Decode and encode Tallywise wire messages", "tallywise-inspect"};
  app.require_subcommand(1);
  const std::vector<std::string> kinds{"batch", "bundle", "config", "configuration"};

  std::string decodeKind, decodePath, format = "text";
  bool compact = false;
  CLI::App* decode = app.add_subcommand("decode", "Decode a message (raw or gzip) to text or JSON");
  decode->add_option("kind", decodeKind, "batch, bundle or config")->required()->check(CLI::IsMember(kinds));
  decode->add_option("file", decodePath, "input file, or - for standard input")->required();
  decode->add_option("-f,--format", format, "text or json")->check(CLI::IsMember({"text", "json"}));
  decode->add_flag("--compact", compact, "one-line JSON");

  std::string encodeKind, encodePath, outputPath;
  bool gzip = false;
  CLI::App* encode = app.add_subcommand("encode", "Encode a message from JSON");
  encode->add_option("kind", encodeKind, "config, bundle or batch")->required()->check(CLI::IsMember(kinds));
  encode->add_option("file", encodePath, "JSON input file, or - for standard input")->required();
  encode->add_option("-o,--output", outputPath, "output file, or - for standard output")->required();
  encode->add_flag("--gzip", gzip, "gzip the encoded bytes");

  std::string dbPath;
  std::size_t rowLimit = 0;
  bool dbJson = false;
  CLI::App* db = app.add_subcommand("db", "Print a measurement database (read-only, safe while the app runs)");
  db->add_option("file", dbPath, "the database, e.g. <sandbox>/Library/Application Support/Vorlix/Measurement/"
                                 "vorlix-tally-wise.sql")->required();
  db->add_option("--limit", rowLimit, "at most this many rows per table (0: all)")->capture_default_str();
  db->add_flag("--json", dbJson, "JSON for machines");

  std::string plistPath;
  bool plistJson = false;
  CLI::App* plist = app.add_subcommand("plist", "Print a property list: a preference suite or the keychain file");
  plist->add_option("file", plistPath, "the property list (XML or binary)")->required();
  plist->add_flag("--json", plistJson, "JSON for machines");

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    std::ostringstream help, problems;
    int status = app.exit(e, help, problems);
    out << help.str();
    err << problems.str();
    return status;
  }

  std::string error;
  if (*db || *plist) {
    DumpFailure failure;
    auto dump = *db ? dumpMeasurementDatabase(dbPath, rowLimit, &failure) : dumpPropertyList(plistPath, &failure);
    if (!dump) {
      err << failure.reason << "\n";
      return failure.status;
    }
    if (*db ? dbJson : plistJson) {
      out << dump->dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    } else {
      out << describeDump(*dump);
    }
    return 0;
  }
  if (*decode) {
    std::vector<std::uint8_t> bytes;
    if (!readInput(decodePath, in, &bytes, err)) return 1;
    auto kind = *wireMessageNamed(decodeKind);
    auto text = format == "json" ? decodeToJson(kind, bytes, !compact, &error) : decodeToText(kind, bytes, &error);
    if (!text) {
      err << "decode failed: " << error << "\n";
      return 2;
    }
    out << *text;
    if (format == "json") out << "\n";
    return 0;
  }
  std::vector<std::uint8_t> jsonBytes;
  if (!readInput(encodePath, in, &jsonBytes, err)) return 1;
  auto bytes = encodeFromJson(*wireMessageNamed(encodeKind),
                              std::string_view(reinterpret_cast<const char*>(jsonBytes.data()), jsonBytes.size()),
                              &error);
  if (!bytes) {
    err << "encode failed: " << error << "\n";
    return 2;
  }
  if (gzip) {
    auto packed = platform::vxl_dataByGzippingData(*bytes, &error);
    if (!packed) {
      err << "gzip failed: " << error << "\n";
      return 2;
    }
    bytes = std::move(packed);
  }
  return writeOutput(outputPath, *bytes, out, err) ? 0 : 1;
}

}  // namespace tools
