#include <gtest/gtest.h>

#include "core/app_table.h"
#include "core/base64.h"
#include "front_end/command_line.h"
#include "front_end/dispatch.h"
#include "log_capture.h"
#include "front_end/worker_payload.h"

namespace yoxa {
namespace {

using Args = std::vector<std::string>;

std::vector<const AppDescriptor*> full_catalog() {
  std::vector<const AppDescriptor*> apps;
  for (const auto& app : app_table()) apps.push_back(&app);
  return apps;
}

std::vector<std::string> ids(const AppSelection& selection) {
  std::vector<std::string> out;
  for (const auto* app : selection) out.emplace_back(app->id);
  return out;
}

TEST(Doors, FirstArgumentDecides) {
  const struct {
    Args args;
    Door door;
  } cases[] = {
      {{}, Door::Usage},
      {{"hello", "extra", "words"}, Door::Subcommand},
      {{"check-updates"}, Door::Subcommand},
      {{"SGVsbG8"}, Door::WorkerPayload},
      {{"--silent"}, Door::FlagMode},
      {{"/S"}, Door::FlagMode},
      {{"-h"}, Door::FlagMode},
      {{"/x"}, Door::WorkerPayload},
      {{"two", "words"}, Door::Usage},
      {{"word", "/?"}, Door::FlagMode},
      {{"Hello"}, Door::WorkerPayload},
  };
  for (const auto& c : cases) EXPECT_EQ(choose_door(c.args), c.door) << (c.args.empty() ? "" : c.args[0]);
}

TEST(FlagMap, KeysValuesAndStrays) {
  const FlagMap flags = parse_flag_map({"stray", "--action", "install", "--strict", "--apps", "quill", "--apps",
                                        "folio", "--empty", "--Action", "x"});
  EXPECT_EQ(flags.at("action"), "install");
  EXPECT_EQ(flags.at("strict"), "");
  EXPECT_EQ(flags.at("apps"), "folio");
  EXPECT_EQ(flags.at("empty"), "");
  EXPECT_EQ(flags.at("Action"), "x");
  EXPECT_FALSE(flags.contains("stray"));
}

TEST(AppSelection, LenientSubcommandForm) {
  const auto catalog = full_catalog();
  EXPECT_EQ(ids(*(resolve_app_selection(std::nullopt, catalog))),
            (Args{"quill", "abacus", "lumen", "folio"}));
  EXPECT_EQ(ids(*(resolve_app_selection(" , ,\t", catalog))),
            (Args{"quill", "abacus", "lumen", "folio"}));
  EXPECT_EQ(ids(*(resolve_app_selection("folio, quill,folio", catalog))),
            (Args{"folio", "quill", "folio"}));
  EXPECT_EQ(resolve_app_selection("quill,Abacus", catalog).error(),
            "Invalid app id 'Abacus'. Expected one of: quill, abacus, lumen, folio");
}

TEST(FlagMode, ErrorsStopTheScan) {
  const auto catalog = full_catalog();
  const struct {
    Args args;
    const char* error;
  } cases[] = {
      {{"/S", "--apps"}, "--apps requires a value (e.g. quill,abacus,lumen)"},
      {{"--silent", "--apps", " , , "}, "--apps value is empty"},
      {{"--silent", "--apps", "quill,Lumen"}, "Invalid app id 'Lumen'. Expected one of: quill, abacus, lumen, folio"},
      {{"--silent", "--mode"}, "--mode requires a value (install|uninstall)"},
      {{"--silent", "--mode", "repair"}, "--mode must be install or uninstall, got 'repair'"},
      {{"--silent", "--log"}, "--log requires a directory path"},
      {{"--silent", "--scope"}, "--scope requires a value (user|machine)"},
      {{"--silent", "--scope", "all"}, "--scope must be user or machine, got 'all'"},
      {{"--scope", "all", "--apps"}, "--scope must be user or machine, got 'all'"},
  };
  for (const auto& c : cases) {
    const auto result = parse_flag_mode(c.args, catalog);
    ASSERT_FALSE(result) << c.error;
    EXPECT_EQ(result.error(), c.error);
  }
}

TEST(FlagMode, OptionsOfAValidScan) {
  const auto catalog = full_catalog();
  auto options = *(parse_flag_mode(
      {"/s", "--scope", " Machine ", "--apps", "folio, quill", "--log", "--verbose", "--uninstall", "junk"}, catalog));
  EXPECT_TRUE(options.silent);
  EXPECT_FALSE(options.help);
  EXPECT_EQ(options.scope, InstallScope::Machine);
  EXPECT_EQ(options.apps, (Args{"folio", "quill"}));
  EXPECT_EQ(options.log_directory, "--verbose");  // a value is whatever follows the flag
  EXPECT_TRUE(options.verbose);
  EXPECT_EQ(options.mode, SilentMode::Uninstall);

  options = *(parse_flag_mode({"--help", "--mode", "install"}, catalog));
  EXPECT_TRUE(options.help);
  EXPECT_FALSE(options.silent);
  EXPECT_EQ(options.apps, (Args{"quill", "abacus", "lumen", "folio"}));
  EXPECT_FALSE(options.scope.has_value());
}

TEST(WorkerPayload, DecodingFallsBackToEmptyText) {
  EXPECT_EQ(decode_worker_payload(base64_encode_unpadded("SILENT:{}")), "SILENT:{}");
  EXPECT_EQ(decode_worker_payload("not*base64"), "");
  EXPECT_EQ(decode_worker_payload(base64_encode_unpadded("JSONRUN:\xFF")), "");  // not UTF-8
}

TEST(WorkerPayload, JsonRunFields) {
  EXPECT_FALSE(parse_json_run_payload("install|q|quill").has_value());
  EXPECT_FALSE(parse_json_run_payload("install|q|quill||user").has_value());

  auto payload = parse_json_run_payload("install|C:\\q.quit| quill, ,folio|\\\\.\\pipe\\x");
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->quit_file, "C:\\q.quit");
  EXPECT_EQ(payload->apps, (Args{"quill", "folio"}));
  EXPECT_EQ(payload->scope, InstallScope::User);
  EXPECT_TRUE(payload->per_user_precheck.empty());

  payload = parse_json_run_payload("uninstall|q||p| MACHINE |abacus,lumen|ignored");
  ASSERT_TRUE(payload);
  EXPECT_TRUE(payload->apps.empty());
  EXPECT_EQ(payload->scope, InstallScope::Machine);
  EXPECT_EQ(payload->per_user_precheck, (Args{"abacus", "lumen"}));
}

TEST(AppTable, OrderAndCaseSensitiveLookup) {
  Args order;
  for (const auto& app : app_table()) order.emplace_back(app.id);
  EXPECT_EQ(order, (Args{"quill", "abacus", "lumen", "folio"}));
  ASSERT_NE(app_by_id("folio"), nullptr);
  EXPECT_TRUE(app_by_id("folio")->machine_only);
  EXPECT_EQ(app_by_id("Folio"), nullptr);
  for (const auto& app : app_table()) {
    const bool msi = app.installer_kind == InstallerKind::Msi;
    EXPECT_EQ(app.upgrade_code.size(), msi ? 32u : 0u) << app.id;
    EXPECT_EQ(app.family_name.empty(), msi) << app.id;
  }
}

// The engine moves to the system directory at entry: a relative --log is the user's
// folder, not one under System32.
TEST(LogDirectoryFrom, RelativeIsTakenAgainstTheStartDirectory) {
  const struct {
    const char* start;
    const char* given;
    const char* resolved;
  } cases[] = {
      {"/home/jo", "logs", "/home/jo/logs"},
      {"/home/jo", "../shared/logs", "/home/jo/../shared/logs"},
      {"/home/jo", "/var/log/yoxa", "/var/log/yoxa"},
      {"", "logs", "logs"},  // the start directory was unknown
  };
  for (const auto& c : cases) EXPECT_EQ(log_directory_from(c.start, c.given), c.resolved) << c.given;
}

TEST(RunGuarded, AnEscapingExceptionIsLoggedAndEndsInTwo) {
  int code = -1;
  std::string log = testing::logged_by([&] {
    code = run_guarded([]() -> int { throw std::runtime_error("no mapping for \x01the name"); });
  });
  EXPECT_EQ(code, 2);
  EXPECT_NE(log.find("Unexpected internal error: no mapping for \\x01the name"), std::string::npos) << log;
  log = testing::logged_by([&] { code = run_guarded([]() -> int { throw 7; }); });
  EXPECT_EQ(code, 2);
  EXPECT_NE(log.find("Unexpected internal error: an unknown exception"), std::string::npos);
  EXPECT_EQ(run_guarded([] { return 5; }), 5);
}

}  // namespace
}  // namespace yoxa
