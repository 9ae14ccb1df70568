// The Appx and DISM scripts of the engine, for the PowerShell stand-in: installing a package
// for the user or provisioning it (with its framework packages), the framework and version
// queries, the provisioned-package query, removal and de-provisioning, and the
// signing-certificate chain script. Deployments go to the places detection reads
// (appx_store.h); each deployment request is appended as one JSON line to
// "powershell_standin.appx.jsonl" beside the stand-in, so a test can see which package and
// which dependency paths the engine passed.
//
// A package's dependencies are checked as Windows does: a framework the manifest declares must
// be installed for the user or given among the dependency paths at its minimum version, or the
// deployment fails with 0x80073CF3 and the "Provide the framework" text.
//
// Publisher ids: "powershell_standin.publishers" beside the stand-in may map publisher names to
// ids, one "ID PUBLISHER" per line; other publishers get the id Windows derives.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace appx {

struct Host {
  std::string own_directory;  // ends with a separator
  std::function<std::optional<std::string>(const std::string& path)> read_file;  // none when unreadable
  std::function<void(const std::string&)> out;
  std::function<void(const std::string&)> err;
};

struct Script {
  std::string kind;  // add-appx, add-provisioned, framework-query, appx-version, provisioned-query,
                     // remove-appx, deprovision, cert-chain
  std::function<int(const Host&)> run;
};

// The script recognised, or none when it is not one of these.
std::optional<Script> match_script(const std::string& script);

}  // namespace appx
