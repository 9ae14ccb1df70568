#include "appx_commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <vector>

#include "appx_package.h"
#include "appx_store.h"
#include "appx_trust.h"
#include "script_match.h"

namespace appx {

namespace {

// --- script texts ------------------------------------------------------------------------

constexpr std::string_view kAddPackage = "Appx\\Add-AppxPackage -Path '{}'";
constexpr std::string_view kAddDependencies = " -DependencyPath ";
constexpr std::string_view kProvision = "Dism\\Add-AppxProvisionedPackage -Online -PackagePath '{}' -SkipLicense";
constexpr std::string_view kProvisionDependencies = " -DependencyPackagePath ";
constexpr std::string_view kFrameworkQuery =
    "$v = @(Get-AppxPackage -Name '{}'{SCOPE} | ForEach-Object { $_.Version } | Sort-Object { [version]$_ } "
    "-Descending | Select-Object -First 1); if ($v) { '{}' + $v[0] }";
constexpr std::string_view kVersionQuery =
    "Appx\\Get-AppxPackage -Name '{}' | Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty Version -First 1";
constexpr std::string_view kProvisionedQuery =
    "Dism\\Get-AppxProvisionedPackage -Online | Microsoft.PowerShell.Core\\Where-Object { $_.DisplayName -eq '{}' } | "
    "Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty DisplayName -First 1";
constexpr std::string_view kRemoveForUser =
    "Appx\\Get-AppxPackage -Name '{}' | Microsoft.PowerShell.Core\\Where-Object { $_.PackageFamilyName -eq '{}' } | "
    "Appx\\Remove-AppxPackage";
constexpr std::string_view kRemoveForAll =
    "Appx\\Get-AppxPackage -Name '{}' -AllUsers | Microsoft.PowerShell.Core\\Where-Object { $_.PackageFamilyName -eq "
    "'{}' } | Appx\\Remove-AppxPackage -AllUsers";
constexpr std::string_view kDeprovision =
    "Dism\\Get-AppxProvisionedPackage -Online | Microsoft.PowerShell.Core\\Where-Object { $_.DisplayName -eq '{}' } | "
    "Microsoft.PowerShell.Core\\ForEach-Object { Dism\\Remove-AppxProvisionedPackage -Online -PackageName "
    "$_.PackageName }";
constexpr std::string_view kCertificateChain =
    "\n$cert = (Get-AuthenticodeSignature -LiteralPath '{}').SignerCertificate\nif ($null -ne $cert) {\n"
    "    $chain = [System.Security.Cryptography.X509Certificates.X509Chain]::new()\n"
    "    $chain.ChainPolicy.RevocationMode = 'NoCheck'\n    [void]$chain.Build($cert)\n"
    "    $rootCert = ($chain.ChainElements | Select-Object -Last 1).Certificate\n"
    "    $store = [System.Security.Cryptography.X509Certificates.X509Store]::new('Root', 'LocalMachine')\n"
    "    $store.Open('ReadWrite')\n    $store.Add($rootCert)\n    $store.Close()\n}\n";

// Matches `pattern` (its "{}" places are quoted values) at `pos`; `pos` moves past it.
bool match_at(std::string_view script, std::size_t& pos, std::string_view pattern, std::vector<std::string>& values) {
  std::size_t s = pos;
  for (std::size_t p = 0; p < pattern.size();) {
    if (pattern.substr(p).starts_with("{}")) {
      auto value = standin::quoted_value(script, s);
      if (!value) return false;
      values.push_back(std::move(*value));
      p += 2;
      continue;
    }
    if (s >= script.size() || script[s] != pattern[p]) return false;
    ++s;
    ++p;
  }
  pos = s;
  return true;
}

// 'a','b' up to the end of the script.
std::optional<std::vector<std::string>> quoted_list(std::string_view script, std::size_t pos) {
  std::vector<std::string> values;
  do {
    if (!values.empty() && !match_at(script, pos, ",", values)) return std::nullopt;
    if (!match_at(script, pos, "'{}'", values)) return std::nullopt;
  } while (pos < script.size());
  return values;
}

// --- small helpers -----------------------------------------------------------------------

std::string lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// PowerShell's -Name wildcards ('*' and '?'), ignoring case.
bool wildcard_match(std::string_view pattern, std::string_view text) {
  std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' ||
                               std::tolower(static_cast<unsigned char>(pattern[p])) ==
                                   std::tolower(static_cast<unsigned char>(text[t])))) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool at_least(const std::string& version, const std::string& minimum) {
  const auto order = compare_versions(version, minimum);
  return order && *order >= 0;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void journal(const Host& host, const std::string& command, const std::string& path,
             const std::vector<std::string>& dependencies) {
  std::string line = "{\"command\":" + json_string(command) + ",\"dependencies\":[";
  for (std::size_t i = 0; i < dependencies.size(); ++i) line += (i ? "," : "") + json_string(dependencies[i]);
  line += "],\"path\":" + json_string(path) + "}\n";
  if (std::FILE* file = std::fopen((host.own_directory + "powershell_standin.appx.jsonl").c_str(), "ab")) {
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
  }
}

PublisherIds publisher_ids(const Host& host) {
  std::vector<std::pair<std::string, std::string>> map;
  if (const auto text = host.read_file(host.own_directory + "powershell_standin.publishers")) {
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const auto space = line.find(' ');
      if (space != std::string::npos) map.emplace_back(line.substr(space + 1), line.substr(0, space));
    }
  }
  return [map](const std::string& publisher) -> std::optional<std::string> {
    for (const auto& [name, id] : map) {
      if (name == publisher) return id;
    }
    return std::nullopt;
  };
}

// --- deployment --------------------------------------------------------------------------

struct Failure {
  std::string hresult;
  std::string reason;
  std::string detail;
};

const char* const kReasons[][2] = {
    {"0x80073CF0", "Package could not be opened."},
    {"0x80073CF3", "Package failed updates, dependency or conflict validation."},
    {"0x80073CF9", "Install failed. Please contact your software vendor."},
    {"0x80073D06", "The package could not be installed because a higher version of this package is already installed."},
};

Failure failure(const std::string& hresult, const std::string& detail) {
  for (const auto& [code, reason] : kReasons) {
    if (hresult == code) return {hresult, reason, detail};
  }
  return {hresult, "Deployment failed.", detail};
}

int report(const Host& host, const std::string& cmdlet, const Failure& failed) {
  host.err(cmdlet + " : Deployment failed with HRESULT: " + failed.hresult + ", " + failed.reason + "\n" +
           failed.detail + "\n");
  return 1;
}

std::optional<Identity> open_package(const Host& host, const std::string& path, const PublisherIds& ids,
                                     std::optional<Failure>& failed) {
  const auto bytes = host.read_file(path);
  std::string why;
  auto identity = bytes ? read_package(*bytes, ids, why) : std::nullopt;
  if (!identity) {
    failed = failure("0x80073CF0", "Opening the package from location " + path + " failed: " +
                                       (bytes ? why : "the file cannot be read") + ".");
  }
  return identity;
}

std::optional<Failure> check_dependencies(const Identity& app, const std::vector<Installed>& installed,
                                          const std::vector<Identity>& given) {
  for (const auto& needed : app.dependencies) {
    const bool present =
        std::any_of(installed.begin(), installed.end(), [&](const Installed& i) {
          return lower(i.name) == lower(needed.name) && at_least(i.version, needed.min_version);
        }) ||
        std::any_of(given.begin(), given.end(), [&](const Identity& g) {
          return lower(g.name) == lower(needed.name) && at_least(g.version, needed.min_version);
        });
    if (present) continue;
    std::string current;
    for (const auto& i : installed) {
      if (lower(i.name) == lower(needed.name)) current += (current.empty() ? "" : " ") + i.full_name;
    }
    return failure("0x80073CF3",
                   "Windows cannot install package " + app.full_name() +
                       " because this package depends on a framework that could not be found. Provide the framework \"" +
                       needed.name + "\" published by \"" + needed.publisher +
                       "\", with neutral or x64 processor architecture and minimum version " + needed.min_version +
                       ", along with this package to install. The frameworks with name \"" + needed.name +
                       "\" currently installed are: {" + current + "}");
  }
  return std::nullopt;
}

// Replaces other versions of the family in a store with this one; a higher one refuses.
std::optional<Failure> replace_in(Store store, const Identity& identity, const std::string& path) {
  const auto present = list(store);
  if (!present) return failure("0x80073CF9", "The package repository could not be read.");
  for (const auto& other : *present) {
    if (lower(other.family_name()) != lower(identity.family_name()) || other.full_name == identity.full_name()) continue;
    if (!at_least(identity.version, other.version)) {
      return failure("0x80073D06", "Package " + identity.full_name() + " is older than the installed " + other.full_name + ".");
    }
    if (!identity.framework) {
      if (auto error = remove(store, other.full_name)) return failure("0x80073CF9", *error);
    }
  }
  if (auto error = record(store, identity, path)) return failure("0x80073CF9", *error);
  return std::nullopt;
}

int deploy(const Host& host, bool machine, const std::string& path, const std::vector<std::string>& dependency_paths) {
  const std::string cmdlet = machine ? "Add-AppxProvisionedPackage" : "Add-AppxPackage";
  journal(host, cmdlet, path, dependency_paths);
  const auto ids = publisher_ids(host);
  std::optional<Failure> failed;
  const auto app = open_package(host, path, ids, failed);
  if (!app) return report(host, cmdlet, *failed);
  std::vector<Identity> given;
  for (const auto& dependency_path : dependency_paths) {
    auto dependency = open_package(host, dependency_path, ids, failed);
    if (!dependency) return report(host, cmdlet, *failed);
    given.push_back(std::move(*dependency));
  }
  const auto installed = list(Store::User);
  if (!installed) return report(host, cmdlet, failure("0x80073CF9", "The package repository could not be read."));
  if (auto missing = check_dependencies(*app, *installed, given)) return report(host, cmdlet, *missing);
  for (const auto& framework : given) {
    const bool have = std::any_of(installed->begin(), installed->end(),
                                  [&](const Installed& i) { return i.full_name == framework.full_name(); });
    if (have) continue;
    if (auto error = record(Store::User, framework, path)) return report(host, cmdlet, failure("0x80073CF9", *error));
  }
  if (machine) {
    if (auto error = replace_in(Store::Provisioned, *app, path)) return report(host, cmdlet, *error);
  }
  // A provisioned package is registered for the signed-in user too, as Windows does at sign-in.
  if (auto error = replace_in(Store::User, *app, path)) return report(host, cmdlet, *error);
  return 0;
}

// --- queries and removal -----------------------------------------------------------------

std::vector<Installed> packages(bool all_users) {
  auto found = list(Store::User).value_or(std::vector<Installed>{});
  if (all_users) {
    for (auto& provisioned : list(Store::Provisioned).value_or(std::vector<Installed>{})) {
      const bool seen = std::any_of(found.begin(), found.end(),
                                    [&](const Installed& i) { return i.full_name == provisioned.full_name; });
      if (!seen) found.push_back(std::move(provisioned));
    }
  }
  return found;
}

struct FrameworkQuery {
  std::string name;
  bool all_users = false;
};

std::optional<std::vector<FrameworkQuery>> match_framework_query(std::string_view script) {
  const auto scope = kFrameworkQuery.find("{SCOPE}");
  const auto head = kFrameworkQuery.substr(0, scope);
  const auto tail = kFrameworkQuery.substr(scope + 7);
  std::vector<FrameworkQuery> queries;
  std::size_t pos = 0;
  while (true) {
    std::vector<std::string> values;
    if (!match_at(script, pos, head, values)) return std::nullopt;
    FrameworkQuery query{values.front()};
    std::vector<std::string> ignored;
    query.all_users = match_at(script, pos, " -AllUsers", ignored);
    // The second place holds "NAME|", the text the query prints before the version.
    if (!match_at(script, pos, tail, values) || values.back() != values.front() + "|") return std::nullopt;
    queries.push_back(std::move(query));
    if (pos == script.size()) return queries;
    if (!match_at(script, pos, "; ", ignored)) return std::nullopt;
  }
}

int framework_query(const Host& host, const std::vector<FrameworkQuery>& queries) {
  std::string out;
  for (const auto& query : queries) {
    std::optional<std::string> best;
    for (const auto& package : packages(query.all_users)) {
      if (!wildcard_match(query.name, package.name)) continue;
      const auto order = best ? compare_versions(package.version, *best) : std::optional<int>(1);
      if (order && *order > 0) best = package.version;
    }
    if (best) out += query.name + "|" + *best + "\r\n";
  }
  host.out(out);
  return 0;
}

int version_query(const Host& host, const std::string& pattern) {
  for (const auto& package : packages(false)) {
    if (wildcard_match(pattern, package.name)) {
      host.out(package.version + "\r\n");
      break;
    }
  }
  return 0;
}

int provisioned_query(const Host& host, const std::string& name) {
  for (const auto& package : list(Store::Provisioned).value_or(std::vector<Installed>{})) {
    if (lower(package.name) == lower(name)) {
      host.out(package.name + "\r\n");
      break;
    }
  }
  return 0;
}

int remove_packages(const Host& host, const std::string& pattern, const std::string& family, bool all_users) {
  journal(host, all_users ? "Remove-AppxPackage -AllUsers" : "Remove-AppxPackage", family, {});
  for (const auto& package : packages(all_users)) {
    if (!wildcard_match(pattern, package.name) || lower(package.family_name()) != lower(family)) continue;
    if (package.root_folder.empty()) continue;  // provisioned only: de-provisioning removes it
    if (auto error = remove(Store::User, package.full_name)) {
      host.err("Remove-AppxPackage : Deployment failed with HRESULT: 0x80073CFA, Removal failed.\n" + *error + "\n");
      return 1;
    }
  }
  return 0;
}

int deprovision(const Host& host, const std::string& name) {
  journal(host, "Remove-AppxProvisionedPackage", name, {});
  for (const auto& package : list(Store::Provisioned).value_or(std::vector<Installed>{})) {
    if (lower(package.name) != lower(name)) continue;
    if (auto error = remove(Store::Provisioned, package.full_name)) {
      host.err("Remove-AppxProvisionedPackage : " + *error + "\n");
      return 1;
    }
  }
  return 0;
}

int certificate_chain(const Host& host, const std::string& path) {
  journal(host, "certificate-chain", path, {});
  if (auto error = trust_signing_root(path)) {
    host.err("Exception calling \"Add\": " + *error + "\n");
    return 1;
  }
  return 0;
}

// The install commands: the fixed part, then optionally the dependency option and its list.
std::optional<Script> match_install(const std::string& script, bool machine) {
  std::vector<std::string> values;
  std::size_t pos = 0;
  if (!match_at(script, pos, machine ? kProvision : kAddPackage, values)) return std::nullopt;
  std::vector<std::string> dependencies;
  if (pos != script.size()) {
    std::vector<std::string> ignored;
    if (!match_at(script, pos, machine ? kProvisionDependencies : kAddDependencies, ignored)) return std::nullopt;
    auto listed = quoted_list(script, pos);
    if (!listed) return std::nullopt;
    dependencies = std::move(*listed);
  }
  const std::string path = values.front();
  return Script{machine ? "add-provisioned" : "add-appx",
                [machine, path, dependencies](const Host& host) { return deploy(host, machine, path, dependencies); }};
}

}  // namespace

std::optional<Script> match_script(const std::string& script) {
  if (auto install = match_install(script, false)) return install;
  if (auto install = match_install(script, true)) return install;
  if (auto queries = match_framework_query(script)) {
    return Script{"framework-query", [q = *queries](const Host& host) { return framework_query(host, q); }};
  }
  if (auto values = standin::match_values(script, kVersionQuery)) {
    return Script{"appx-version", [v = *values](const Host& host) { return version_query(host, v[0]); }};
  }
  if (auto values = standin::match_values(script, kProvisionedQuery)) {
    return Script{"provisioned-query", [v = *values](const Host& host) { return provisioned_query(host, v[0]); }};
  }
  if (auto values = standin::match_values(script, kRemoveForUser)) {
    return Script{"remove-appx", [v = *values](const Host& host) { return remove_packages(host, v[0], v[1], false); }};
  }
  if (auto values = standin::match_values(script, kRemoveForAll)) {
    return Script{"remove-appx", [v = *values](const Host& host) { return remove_packages(host, v[0], v[1], true); }};
  }
  if (auto values = standin::match_values(script, kDeprovision)) {
    return Script{"deprovision", [v = *values](const Host& host) { return deprovision(host, v[0]); }};
  }
  if (auto values = standin::match_values(script, kCertificateChain)) {
    return Script{"cert-chain", [v = *values](const Host& host) { return certificate_chain(host, v[0]); }};
  }
  return std::nullopt;
}

}  // namespace appx
