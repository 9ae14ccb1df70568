#pragma once
#include <string_view>

namespace yoxa {

// Printed to standard error (followed by a line feed) when no door fits.
inline constexpr std::string_view kShortUsage =
    "Usage: YoxaOfficeInstaller <hello|run|check-updates|disk-free|export-logs> [flags]\n"
    "       YoxaOfficeInstaller run --action install|update|uninstall [--apps \u2026]\n"
    "                                     [--scope user|machine] [--strict true|false] [--install-dir <path>]\n"
    "       YoxaOfficeInstaller export-logs [--out <dir>]\n"
    "       YoxaOfficeInstaller --silent [--mode install|uninstall] [--apps \u2026] [--log <dir>]\n"
    "                                     [--scope user|machine] [--verbose]\n"
    "Run with --help for the full flag reference.";

// Printed to standard output, followed by one extra line feed.
inline constexpr std::string_view kLongHelp =
    "Usage:\n"
    "  YoxaOfficeInstaller.exe hello                          Emit the app catalog (JSON).\n"
    "  YoxaOfficeInstaller.exe run --action install --apps \u2026  Install with JSON progress events.\n"
    "  YoxaOfficeInstaller.exe --silent                       Headless install of all apps.\n"
    "  YoxaOfficeInstaller.exe --silent --apps quill          Install only the named subset.\n"
    "  YoxaOfficeInstaller.exe --silent --uninstall           Headless uninstall of all apps.\n"
    "  YoxaOfficeInstaller.exe --silent --mode uninstall      Same, macOS-style form.\n"
    "  YoxaOfficeInstaller.exe --silent --log C:\\Logs         Override the log directory.\n"
    "  YoxaOfficeInstaller.exe --silent --scope machine       Install for all users (elevates).\n"
    "  YoxaOfficeInstaller.exe --help                         Print this help.\n"
    "\n"
    "Options (--silent):\n"
    "  --silent, /S, /silent     Run without a GUI; do not prompt the user.\n"
    "  --uninstall               (with --silent) Remove the selected apps.\n"
    "  --mode <install|uninstall> Same as --uninstall, macOS-engine form.\n"
    "  --apps <list>             Comma-separated app ids: quill, abacus, lumen, folio.\n"
    "                            Default: every app in the catalog.\n"
    "  --log <dir>               Directory for log files. Default:\n"
    "                            %TEMP%\\YoxaOfficeSilent-<pid>\\\n"
    "  --scope <user|machine>    Install level. Default: the installScope value in\n"
    "                            installer_config.json (user). machine needs elevation;\n"
    "                            an unelevated run re-spawns itself through UAC.\n"
    "  --verbose                 Echo progress to the terminal (stderr); default off.\n"
    "\n"
    "Options (run \u2014 the JSON-protocol subcommand):\n"
    "  --action <install|update|uninstall>  Required.\n"
    "  --apps <list>             As above; default: every app in the catalog.\n"
    "  --scope <user|machine>    As above.\n"
    "  --strict <true|false>     true \u2192 any per-app failure fails the whole run (exit 2),\n"
    "                            even when other apps succeeded. Default: false.\n"
    "  --install-dir <path>      Accepted for cross-platform parity, ignored on Windows:\n"
    "                            MSI/MSIX packages carry their own fixed destinations.\n"
    "\n"
    "Exit codes (unified across platforms; legacy standalone installers used\n"
    "3=nothing-to-do, 4=invalid args, 5=UAC declined):\n"
    "  0  All selected apps reached the desired state (incl. nothing-to-do)\n"
    "  1  Partial success (one or more apps failed)\n"
    "  2  All apps failed\n"
    "  3  Invalid arguments\n"
    "  4  Permission denied (UAC declined or failed)\n"
    "  5  Network unavailable\n";

inline constexpr std::string_view kVerboseBanner = "Yoxa Office Apps Installer \u2014 verbose mode";

}  // namespace yoxa
