#!/usr/bin/python3
"""Writes the CDN tree the engine reads for one app release, ready to upload.

    tools/publish_cdn.py --config config/installer_config.json --app quill \\
        --version 1.4.2 --package quill-1.4.2.msi --out upload/ \\
        [--sha256 HEX] [--size BYTES] [--note TEXT ... [--date YYYY-MM-DD] | --release-notes FILE] \\
        [--dependency FRAMEWORK_FILE ...] [--chained-installer IDENTITY=FILE --install-args ARGS] \\
        [--signing-key KEY.pem [--valid-for DAYS] [--sequence N]]

The package directory is laid out below --out exactly as the engine builds its URL
from the configuration and the app catalog:
    <distributionRoot>/<appsRoot>/<flavour>/<app>/windows/<arch>/<format>/<release>/
and receives the package, meta.json (version, destination, size, SHA-256 and, for
MSIX apps, the dependency records) and, when notes are given, release-notes.json.
Uploading the content of --out to the configured CDN origin publishes the release.

With --signing-key, meta.json also carries "app", "expires" (now plus --valid-for
days, default 30, as RFC 3339 UTC) and "sequence" (one more than the meta.json already
in that directory of --out, so --out must hold the tree as published, or give
--sequence), and meta.json.sig beside it signs its exact bytes (tools/meta_signing.py
has the format; tools/make_signing_key.py makes a key). An engine whose configuration
lists "metaSigningKeys" refuses meta.json without it, and refuses it once expired: publish
again before then.

Whatever the engine would refuse is refused here first, with the reason, and
nothing is written: a version that cannot name the staged file, a destination
that is not a plain file name, a package that does not match a stated size or
SHA-256, documents the engine would cut off or fail to parse.

Standard library only, and python3-cryptography for signing. Exit codes: 0 written, 1 refused, 2 bad usage.
"""

import argparse
import datetime
import hashlib
import json
import os
import re
import shutil
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Sequence

REPO_ROOT = Path(__file__).resolve().parents[1]
DEFAULT_CATALOG = REPO_ROOT / "protocol" / "catalog.json"

# The engine reads at most this much of meta.json and release-notes.json.
MAX_DOCUMENT_BYTES = 262144
DEFAULT_VALID_FOR_DAYS = 30
MSIX_FORMATS = ("msix", "msixbundle")
WINDOWS_FORBIDDEN = '<>:"/\\|?*'
RESERVED_DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL", *(f"COM{i}" for i in range(1, 10)),
                         *(f"LPT{i}" for i in range(1, 10))}

# Framework packages the engine knows by file name: identity, token, arch, minimum version, version.
FRAMEWORKS = {
    "Microsoft.VCLibs.140.00_x64.appx":
        ("Microsoft.VCLibs.140.00", "vclibs", "x64", "14.0.33519.0", "14.0.33519.0"),
    "Microsoft.VCLibs.140.00.UWPDesktop_x64.appx":
        ("Microsoft.VCLibs.140.00.UWPDesktop", "vclibs", "x64", "14.0.33728.0", "14.0.33728.0"),
    "Microsoft.WindowsAppRuntime.1.8_x64.msix":
        ("Microsoft.WindowsAppRuntime.1.8", "winappruntime", "x64", "8000.625.330.0", "8000.625.330.0"),
}


class Refused(Exception):
    """A release the engine would not accept; the message says why."""


# -- checks the engine makes ------------------------------------------------------------------

def version_problem(version: str) -> Optional[str]:
    """Why a version cannot name the staged package file ("installer-v{version}.{format}"), or None."""
    if not version:
        return "the version is empty"
    try:
        version.encode("utf-8")
    except UnicodeEncodeError:
        return "the version is not valid Unicode"
    if ".." in version:
        return 'the version contains ".."'
    for char in version:
        code = ord(char)
        if code < 0x20 or code == 0x7F or 0x80 <= code <= 0x9F:
            return f"the version contains the control character U+{code:04X}"
        if char in WINDOWS_FORBIDDEN:
            return f"the version contains {char!r}, which Windows forbids in a file name"
    return None


def comparable_version(version: str) -> bool:
    """Whether update checks can order the version: dotted unsigned 32-bit numbers."""
    parts = version.split(".")
    return all(part.isdigit() and part.isascii() and int(part) <= 0xFFFFFFFF for part in parts)


def destination_problem(name: str) -> Optional[str]:
    """Why a destination is not a plain file name inside the package directory, or None."""
    if not name:
        return "the destination is empty"
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return "the destination is not valid Unicode"
    if "/" in name or "\\" in name:
        return "the destination contains a path separator"
    if ".." in name:
        return 'the destination contains ".."'
    if re.match(r"^[A-Za-z]:", name):
        return "the destination starts with a drive"
    for char in name:
        code = ord(char)
        if code < 0x20 or code == 0x7F:
            return f"the destination contains the control character U+{code:04X}"
        if char in WINDOWS_FORBIDDEN:
            return f"the destination contains {char!r}, which Windows forbids in a file name"
    # The engine appends the name to the directory URL as it is, unescaped.
    for char in name:
        if char in "#% " or char.isspace():
            return f"the destination contains {char!r}, which the engine's download URL would not carry"
    if name.endswith((".", " ")):
        return "the destination ends with a dot or a blank, which Windows drops"
    if name.split(".")[0].upper() in RESERVED_DEVICE_NAMES:
        return "the destination is a Windows device name"
    return None


def sha256_of(path: Path) -> str:
    digest = hashlib.sha256()
    with path.open("rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _reject_duplicate_keys(pairs):
    seen = {}
    for key, value in pairs:
        if key in seen:
            raise ValueError(f"member {key!r} occurs twice")
        seen[key] = value
    return seen


def parse_release_notes(text: str) -> dict:
    """A release-notes.json as the engine parses it: releases required, each entry with
    a string version, an optional string-or-null date and an array of string notes."""
    try:
        document = json.loads(text, object_pairs_hook=_reject_duplicate_keys)
    except ValueError as error:
        raise Refused(f"the release notes are not valid JSON: {error}") from None
    if not isinstance(document, dict):
        raise Refused("the release notes are not a JSON object")
    for key in ("product", "version"):
        if document.get(key) is not None and not isinstance(document[key], str):
            raise Refused(f"the release notes' {key} is not a string")
    releases = document.get("releases")
    if not isinstance(releases, list):
        raise Refused("the release notes have no releases array")
    for number, entry in enumerate(releases):
        where = f"release {number}"
        if not isinstance(entry, dict):
            raise Refused(f"{where} of the release notes is not an object")
        if not isinstance(entry.get("version"), str):
            raise Refused(f"{where} of the release notes has no string version")
        if entry.get("date") is not None and not isinstance(entry["date"], str):
            raise Refused(f"{where} of the release notes has a date that is not a string")
        notes = entry.get("notes")
        if not isinstance(notes, list) or not all(isinstance(n, str) for n in notes):
            raise Refused(f"{where} of the release notes has no array of string notes")
    return document


# -- layout -----------------------------------------------------------------------------------

@dataclass(frozen=True)
class AppEntry:
    app_id: str
    display_name: str
    fmt: str
    arch: str  # the CDN arch segment: "x64" or "universal"


@dataclass(frozen=True)
class Layout:
    origin: Optional[str]
    segments: Sequence[str]  # distributionRoot, appsRoot, flavour
    release: str

    def package_dir(self, app: AppEntry) -> List[str]:
        return [*self.segments, app.app_id, "windows", app.arch, app.fmt, self.release]


def load_json_file(path: Path, what: str) -> dict:
    try:
        document = json.loads(Path(path).read_text(encoding="utf-8"))
    except (OSError, ValueError) as error:
        raise Refused(f"cannot read the {what} {path}: {error}") from None
    if not isinstance(document, dict):
        raise Refused(f"the {what} {path} is not a JSON object")
    return document


def load_layout(config: dict) -> Layout:
    cdn = config.get("cdn") if isinstance(config.get("cdn"), dict) else {}
    values = {"cdn.distributionRoot": cdn.get("distributionRoot"), "cdn.appsRoot": cdn.get("appsRoot"),
              "flavour": config.get("flavour"), "cdn.release": cdn.get("release")}
    for name, value in values.items():
        if not isinstance(value, str) or not value:
            raise Refused(f"the configuration has no {name}")
        # The engine inserts these as they are; here they also become directories.
        for part in value.split("/"):
            if part in ("", ".", "..") or "\\" in part or ":" in part:
                raise Refused(f"the configuration's {name} {value!r} is not a usable path segment")
    domains = cdn.get("domains") if isinstance(cdn.get("domains"), dict) else {}
    origin = domains.get(cdn.get("dataCenter"))
    return Layout(origin=origin.rstrip("/") if isinstance(origin, str) and origin else None,
                  segments=[values["cdn.distributionRoot"], values["cdn.appsRoot"], values["flavour"]],
                  release=values["cdn.release"])


def find_app(catalog: dict, config: dict, app_id: str) -> AppEntry:
    apps = {a.get("id"): a for a in catalog.get("apps", []) if isinstance(a, dict)}
    entry = apps.get(app_id)
    if entry is None or "windows" not in entry.get("available", []):
        known = ", ".join(i for i, a in apps.items() if "windows" in a.get("available", []))
        raise Refused(f"{app_id!r} is not a Windows app of the catalog (known: {known})")
    included = config.get("apps", {}).get(app_id, {}) if isinstance(config.get("apps"), dict) else {}
    if isinstance(included, dict) and included.get("included") is False:
        raise Refused(f"{app_id!r} is excluded by this configuration; its engine would never fetch it")
    cdn = entry.get("cdn", {})
    fmt = cdn.get("format", {}).get("windows")
    if not isinstance(fmt, str) or not fmt:
        raise Refused(f"the catalog gives {app_id!r} no Windows package format")
    arch = "universal" if cdn.get("arch", {}).get("windows") == "universal" else "x64"
    return AppEntry(app_id, entry.get("displayName") or app_id, fmt, arch)


# -- the release ------------------------------------------------------------------------------

@dataclass
class Dependency:
    path: Path
    identity: str
    token: Optional[str] = None
    arch: Optional[str] = None
    min_version: Optional[str] = None
    version: Optional[str] = None
    kind: Optional[str] = None
    install_args: Optional[str] = None


@dataclass
class Release:
    app_id: str
    version: str
    package: Path
    destination: Optional[str] = None
    expected_size: Optional[int] = None
    expected_sha256: Optional[str] = None
    notes: List[str] = field(default_factory=list)
    date: Optional[str] = None
    release_notes_file: Optional[Path] = None
    dependencies: List[Dependency] = field(default_factory=list)
    alternate_download_url: Optional[str] = None
    signing_key: Optional[Path] = None
    valid_for_days: float = DEFAULT_VALID_FOR_DAYS
    sequence: Optional[int] = None


def framework_dependency(path: Path) -> Dependency:
    row = FRAMEWORKS.get(Path(path).name)
    if row is None:
        raise Refused(f"{Path(path).name!r} is not a framework package the engine knows "
                      f"(known: {', '.join(FRAMEWORKS)})")
    identity, token, arch, min_version, version = row
    return Dependency(Path(path), identity, token, arch, min_version, version)


def chained_dependency(spec: str, install_args: Optional[str]) -> Dependency:
    identity, sep, path = spec.partition("=")
    if not sep or not identity or not path:
        raise Refused(f"--chained-installer wants IDENTITY=FILE, got {spec!r}")
    return Dependency(Path(path), identity, kind="chainedInstaller", install_args=install_args or None)


def _checked_file(path: Path, what: str):
    if not Path(path).is_file():
        raise Refused(f"the {what} {path} is not a readable file")
    return Path(path).stat().st_size, sha256_of(Path(path))


def _document_bytes(document: dict, name: str) -> bytes:
    data = (json.dumps(document, indent=2, ensure_ascii=False) + "\n").encode("utf-8")
    if len(data) > MAX_DOCUMENT_BYTES:
        raise Refused(f"{name} would be {len(data)} bytes; the engine reads only {MAX_DOCUMENT_BYTES}")
    return data


def dependency_clash(name: str, earlier: Sequence[str]) -> Optional[str]:
    """The earlier dependency destination that `name` would share a staged file with, as the
    engine compares them (Windows: letter case ignored; each download also uses name + ".part")."""
    mine = {name.casefold(), (name + ".part").casefold()}
    for other in earlier:
        theirs = {other.casefold(), (other + ".part").casefold()}
        if name.casefold() in theirs or other.casefold() in mine:
            return other
    return None


def build_documents(release: Release, app: AppEntry, layout: Layout,
                    claims: Optional[dict] = None) -> Dict[str, object]:
    """Every file of the package directory: name -> bytes (documents) or Path (copies).
    Raises Refused before anything is written."""
    problem = version_problem(release.version)
    if problem:
        raise Refused(f"version {release.version!r} cannot be published: {problem}")
    destination = release.destination or f"{app.app_id}-{release.version}.{app.fmt}"
    problem = destination_problem(destination)
    if problem:
        raise Refused(f"destination {destination!r} cannot be published: {problem}")
    if destination in ("meta.json", "meta.json.sig", "release-notes.json"):
        raise Refused(f"destination {destination!r} would overwrite a metadata document")

    size, digest = _checked_file(release.package, "package")
    if release.expected_size is not None and release.expected_size != size:
        raise Refused(f"the package {release.package} is {size} bytes, not the stated {release.expected_size}")
    if release.expected_sha256 is not None:
        stated = release.expected_sha256.strip().lower()
        if not re.fullmatch(r"[0-9a-f]{64}", stated):
            raise Refused(f"the stated SHA-256 {release.expected_sha256!r} is not 64 hex digits")
        if stated != digest:
            raise Refused(f"the package {release.package} has SHA-256 {digest}, not the stated {stated}")

    files: Dict[str, object] = {destination: Path(release.package)}
    meta = {"product": app.display_name, "version": release.version, "destination": destination, "size": size,
            "sha256": digest, "checksumAlgorithm": "sha256", "flavour": layout.segments[2], "os": "windows",
            "arch": app.arch, "format": app.fmt, "release": layout.release}
    if release.alternate_download_url:
        if not release.alternate_download_url.startswith("https://"):
            raise Refused("the alternate download URL must be an https:// URL")
        meta["alternateDownloadUrl"] = release.alternate_download_url

    if release.dependencies and app.fmt not in MSIX_FORMATS:
        raise Refused(f"{app.app_id} is a {app.fmt} app; only MSIX apps have dependencies")
    if app.fmt in MSIX_FORMATS:
        records = []
        for dependency in release.dependencies:
            name = Path(dependency.path).name
            problem = destination_problem(name)
            if problem:
                raise Refused(f"dependency file {name!r} cannot be published: {problem}")
            if name in files or name in ("meta.json", "release-notes.json"):
                raise Refused(f"dependency file {name!r} collides with another file of the release")
            clash = dependency_clash(name, [record["destination"] for record in records])
            if clash:
                raise Refused(f"dependency file {name!r} clashes with the dependency file {clash!r}: the engine "
                              "stages both in one folder, where one would replace the other, and refuses it")
            dep_size, dep_digest = _checked_file(dependency.path, "dependency")
            files[name] = Path(dependency.path)
            record = {"identity": dependency.identity, "token": dependency.token, "arch": dependency.arch,
                      "kind": dependency.kind, "minVersion": dependency.min_version, "version": dependency.version,
                      "destination": name, "size": dep_size, "checksum": dep_digest, "checksumAlgorithm": "sha256",
                      "installArgs": dependency.install_args}
            records.append({key: value for key, value in record.items() if value is not None})
        meta["dependencies"] = records
    meta.update(claims or {})
    files["meta.json"] = _document_bytes(meta, "meta.json")

    notes_document = None
    if release.release_notes_file is not None:
        if release.notes:
            raise Refused("give either --release-notes or --note, not both")
        try:
            text = Path(release.release_notes_file).read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as error:
            raise Refused(f"cannot read the release notes {release.release_notes_file}: {error}") from None
        notes_document = parse_release_notes(text)
    elif release.notes:
        date = release.date or datetime.date.today().isoformat()
        notes_document = {"product": app.display_name, "version": release.version,
                          "releases": [{"version": release.version, "date": date, "notes": list(release.notes)}]}
    if notes_document is not None:
        files["release-notes.json"] = _document_bytes(notes_document, "release-notes.json")
    return files


# -- signing ----------------------------------------------------------------------------------

def published_sequence(meta_path: Path) -> int:
    """The sequence of the meta.json already published there; 0 when there is none."""
    if not meta_path.exists():
        return 0
    try:
        sequence = json.loads(meta_path.read_text(encoding="utf-8")).get("sequence", 0)
    except (OSError, ValueError, AttributeError) as error:
        raise Refused(f"cannot read the published {meta_path} for its sequence: {error}") from None
    if not isinstance(sequence, int) or isinstance(sequence, bool) or sequence < 0:
        raise Refused(f"the published {meta_path} has a sequence that is not an unsigned integer")
    return sequence


def signing_claims(release: Release, app: AppEntry, meta_path: Path, config: dict,
                   now: Optional[datetime.datetime] = None) -> dict:
    """app, expires and sequence of a signed meta.json; Refused for what the engine would refuse."""
    if release.valid_for_days <= 0:
        raise Refused("--valid-for must be a positive number of days")
    previous = published_sequence(meta_path)
    sequence = previous + 1 if release.sequence is None else release.sequence
    if not 0 <= sequence < 1 << 64:
        raise Refused(f"sequence {sequence} is not an unsigned 64-bit integer")
    if sequence < previous:
        raise Refused(f"sequence {sequence} is lower than the published {previous}; engines that saw it refuse it")
    now = now or datetime.datetime.now(datetime.timezone.utc)
    expires = (now + datetime.timedelta(days=release.valid_for_days)).replace(microsecond=0)
    return {"app": app.app_id, "expires": expires.strftime("%Y-%m-%dT%H:%M:%SZ"), "sequence": sequence}


def signing_key_problem(public_text: str, config: dict) -> Optional[str]:
    keys = config.get("metaSigningKeys")
    if not isinstance(keys, list) or not keys:
        return "the configuration lists no metaSigningKeys; its engine would not look at the signature"
    if public_text not in [k.strip() for k in keys if isinstance(k, str)]:
        return f"the signing key's public key {public_text} is not among the configuration's metaSigningKeys"
    return None


def _write_atomically(target: Path, content) -> None:
    handle, temporary = tempfile.mkstemp(dir=target.parent, prefix=".publishing-")
    try:
        with os.fdopen(handle, "wb") as out:
            if isinstance(content, Path):
                with content.open("rb") as source:
                    shutil.copyfileobj(source, out, 1 << 20)
            else:
                out.write(content)
        os.replace(temporary, target)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


@dataclass(frozen=True)
class Published:
    directory: Path
    relative_dir: str
    meta_url: Optional[str]
    files: List[str]


def publish(release: Release, config_path: Path, out_dir: Path, catalog_path: Path = DEFAULT_CATALOG) -> Published:
    config = load_json_file(config_path, "configuration")
    layout = load_layout(config)
    app = find_app(load_json_file(catalog_path, "catalog"), config, release.app_id)
    segments = layout.package_dir(app)
    directory = Path(out_dir).joinpath(*segments)
    claims = key = None
    if release.signing_key is not None:
        import meta_signing  # only signing needs python3-cryptography
        try:
            key = meta_signing.load_private_key(release.signing_key)
        except meta_signing.KeyProblem as problem:
            raise Refused(str(problem)) from None
        problem = signing_key_problem(meta_signing.public_key_text(key), config)
        if problem:
            raise Refused(problem)
        claims = signing_claims(release, app, directory / "meta.json", config)
    files = build_documents(release, app, layout, claims)
    if key is not None:
        files["meta.json.sig"] = meta_signing.sign(files["meta.json"], key)

    directory.mkdir(parents=True, exist_ok=True)
    # The package first and meta.json last, so a reader never finds a meta.json
    # that names a file not yet there.
    order = sorted(files, key=lambda name: (name == "meta.json", name == "meta.json.sig", name == "release-notes.json"))
    for name in order:
        _write_atomically(directory / name, files[name])
    relative = "/".join(segments)
    meta_url = f"{layout.origin}/{relative}/meta.json" if layout.origin else None
    return Published(directory, relative, meta_url, order)


# -- command line -----------------------------------------------------------------------------

def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="publish_cdn.py", description=__doc__.split("\n\n")[0],
                                     epilog="\n\n".join(__doc__.split("\n\n")[2:]),
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--config", required=True, type=Path, help="the engine build's installer_config*.json")
    parser.add_argument("--catalog", type=Path, default=DEFAULT_CATALOG, help="the app catalog (protocol/catalog.json)")
    parser.add_argument("--app", required=True, help="app id: quill, abacus, lumen, folio")
    parser.add_argument("--version", required=True, help="the package version")
    parser.add_argument("--package", required=True, type=Path, help="the package file")
    parser.add_argument("--out", required=True, type=Path, help="the directory to upload to the CDN origin")
    parser.add_argument("--destination", help="file name of the package on the CDN (default APP-VERSION.FORMAT)")
    parser.add_argument("--size", type=int, help="refuse unless the package has this many bytes")
    parser.add_argument("--sha256", help="refuse unless the package has this SHA-256")
    parser.add_argument("--note", action="append", default=[], help="a release note line (repeatable)")
    parser.add_argument("--date", help="date of this release's notes (default today, YYYY-MM-DD)")
    parser.add_argument("--release-notes", type=Path, help="a complete release-notes.json to publish")
    parser.add_argument("--dependency", action="append", default=[], type=Path,
                        help="a framework package file the MSIX app needs (repeatable)")
    parser.add_argument("--chained-installer", action="append", default=[], metavar="IDENTITY=FILE",
                        help="a runtime installer executable the MSIX app needs (repeatable)")
    parser.add_argument("--install-args", help="arguments of the chained installers")
    parser.add_argument("--alternate-download-url", help="a second https:// URL of the same package")
    parser.add_argument("--signing-key", type=Path, help="sign meta.json with this P-256 private key (PEM)")
    parser.add_argument("--valid-for", type=float, default=DEFAULT_VALID_FOR_DAYS, metavar="DAYS",
                        help=f"days until a signed meta.json expires (default {DEFAULT_VALID_FOR_DAYS})")
    parser.add_argument("--sequence", type=int, help="the signed meta.json's sequence (default: one more than "
                        "the one in --out)")
    return parser.parse_args(argv)


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    try:
        dependencies = [framework_dependency(path) for path in args.dependency]
        dependencies += [chained_dependency(spec, args.install_args) for spec in args.chained_installer]
        release = Release(app_id=args.app, version=args.version, package=args.package, destination=args.destination,
                          expected_size=args.size, expected_sha256=args.sha256, notes=args.note, date=args.date,
                          release_notes_file=args.release_notes, dependencies=dependencies,
                          alternate_download_url=args.alternate_download_url, signing_key=args.signing_key,
                          valid_for_days=args.valid_for, sequence=args.sequence)
        published = publish(release, args.config, args.out, args.catalog)
    except Refused as refusal:
        print(f"publish_cdn.py: refused: {refusal}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"publish_cdn.py: cannot write the tree: {error}", file=sys.stderr)
        return 1
    if args.signing_key is None and load_json_file(args.config, "configuration").get("metaSigningKeys"):
        print("publish_cdn.py: warning: this configuration lists metaSigningKeys, so its engine refuses this "
              "unsigned meta.json; publish with --signing-key", file=sys.stderr)
    if not comparable_version(args.version):
        print(f"publish_cdn.py: warning: {args.version!r} is not dotted numbers; update checks will never "
              "offer it as an update", file=sys.stderr)
    print(f"published {args.app} {args.version} in {published.directory}")
    for name in published.files:
        print(f"  {published.relative_dir}/{name}")
    if published.meta_url:
        print(f"the engine will read {published.meta_url}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
