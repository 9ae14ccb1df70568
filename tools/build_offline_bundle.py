#!/usr/bin/python3
"""Builds an offline installer from the engine executable and app packages.

    tools/build_offline_bundle.py --engine YoxaOfficeInstaller.exe \\
        --package quill=quill-2.0.1.msi --version quill=2.0.1 [--package abacus=... --version abacus=...] \\
        (--sfx YoxaOfficeOffline.exe | --bundle suite.bundle [--bundle-source DIR] [--bundle-location PATH])

--sfx writes the self-extracting installer: the engine, the packages, the offline
manifest and the 88-byte trailer, in that order. Sign the result afterwards: the
certificate table that signing appends (after up to 7 bytes of padding) leaves the
trailer where the engine looks for it. An engine that is already signed is refused,
since appending to it would break its signature and hide the trailer.

--bundle writes an external bundle: the packages, the manifest and the footer with
its 7-entry segment table. With --bundle-source DIR it also writes DIR/bundle_source.txt
naming the bundle, as --bundle-location gives it (default: the bundle's absolute
path); put that file beside the engine executable. The engine resolves a relative
location against the Windows system directory, so give an absolute one.

Offline packages for elevated installs must be signed. A machine-scope, UAC-elevated or
LocalSystem run trusts no checksum from the offline source itself: it installs a package
from an external bundle or a packages directory only when the package carries the suite's
own signature, and a self-extracting installer only when the installer as a whole is
signed after it is written (that signature covers the packages inside it). Unelevated
per-user runs still accept unsigned packages that match the manifest.

The manifest is computed here: for each app its version, size, SHA-256 and file name.
Whatever the engine would refuse is refused here first, with the reason, and nothing
is written: an unknown or repeated app, a package whose extension is not the app's
format, an empty package, a missing version, an engine that is not a PE image or
already carries a trailer.

Standard library only. Exit codes: 0 written, 1 refused, 2 bad usage.
"""

import argparse
import json
import os
import struct
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, Dict, List, Optional, Sequence, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))

from publish_cdn import Refused, comparable_version, sha256_of  # noqa: E402

# The engine's compiled-in app table, in its order: the trailer's package segments
# follow it.
APP_TABLE: Tuple[Tuple[str, str], ...] = (("quill", "msi"), ("abacus", "msix"), ("lumen", "msixbundle"),
                                          ("folio", "msi"))
TRAILER_MAGIC = b"YXFFPKG\0"
FOOTER_MAGIC = b"YXBUNDLE"
TRAILER_SIZE = 88
BUNDLE_SEGMENTS = 7
# The engine does not read a larger manifest.
MAX_MANIFEST_BYTES = 16 * 1024 * 1024
COPY_BLOCK = 1 << 20

Segment = Tuple[int, int]


@dataclass(frozen=True)
class Package:
    app_id: str
    path: Path
    version: str


def encode_trailer(segments: Sequence[Segment]) -> bytes:
    assert len(segments) == 5
    return TRAILER_MAGIC + b"".join(struct.pack("<QQ", offset, length) for offset, length in segments)


def encode_footer(segments: Sequence[Segment]) -> bytes:
    table = b"".join(struct.pack("<QQ", offset, length) for offset, length in segments)
    return table + struct.pack("<I", len(segments)) + FOOTER_MAGIC


def certificate_table(head: bytes) -> Optional[Tuple[int, int]]:
    """The (offset, size) of a PE image's certificate table when both are set; None otherwise."""
    def number(at: int, width: int) -> Optional[int]:
        if at + width > len(head):
            return None
        return int.from_bytes(head[at:at + width], "little")

    header = number(0x3C, 4)
    if header is None or head[header:header + 4] != b"PE\0\0":
        return None
    magic = number(header + 24, 2)
    directories = {0x10B: header + 24 + 96, 0x20B: header + 24 + 112}.get(magic)
    if directories is None:
        return None
    offset, size = number(directories + 32, 4), number(directories + 36, 4)
    return (offset, size) if offset and size else None


def check_engine(engine: Path) -> None:
    try:
        with engine.open("rb") as stream:
            head = stream.read(4096)
            stream.seek(0, os.SEEK_END)
            size = stream.tell()
            stream.seek(max(0, size - TRAILER_SIZE - 8))
            tail = stream.read()
    except OSError as error:
        raise Refused(f"cannot read the engine {engine}: {error}") from None
    if head[:2] != b"MZ":
        raise Refused(f"the engine {engine} is not a Windows executable")
    if certificate_table(head):
        raise Refused(f"the engine {engine} is already signed; bundle the unsigned engine and sign the result")
    if TRAILER_MAGIC in tail:
        raise Refused(f"the engine {engine} already carries offline packages")


def manifest_entry(package: Package) -> dict:
    return {"version": package.version, "size": package.path.stat().st_size,
            "sha256": sha256_of(package.path), "checksumAlgorithm": "sha256", "destination": package.path.name}


def check_packages(packages: Sequence[Package]) -> Dict[str, Package]:
    formats = dict(APP_TABLE)
    by_app: Dict[str, Package] = {}
    if not packages:
        raise Refused("no packages given")
    for package in packages:
        if package.app_id not in formats:
            raise Refused(f"{package.app_id!r} is not an app of the engine (known: {', '.join(formats)})")
        if package.app_id in by_app:
            raise Refused(f"{package.app_id!r} is given twice")
        extension = package.path.suffix[1:].lower()
        if extension != formats[package.app_id]:
            raise Refused(f"{package.path.name} is not a .{formats[package.app_id]} package, the format of "
                          f"{package.app_id}; the engine installs it as one")
        if not package.version.strip():
            raise Refused(f"{package.app_id} has no version")
        try:
            size = package.path.stat().st_size
        except OSError as error:
            raise Refused(f"cannot read the package {package.path}: {error}") from None
        if size == 0:
            raise Refused(f"the package {package.path} is empty")
        by_app[package.app_id] = package
    return by_app


def _append(out: BinaryIO, source: Path) -> int:
    written = 0
    with source.open("rb") as stream:
        for block in iter(lambda: stream.read(COPY_BLOCK), b""):
            out.write(block)
            written += len(block)
    return written


def _write_payloads(out: BinaryIO, start: int, packages: Dict[str, Package]) -> Tuple[List[Segment], Segment]:
    """The packages in app-table order, then the manifest; their segments."""
    segments: List[Segment] = []
    position = start
    manifest = {}
    for app_id, _ in APP_TABLE:
        package = packages.get(app_id)
        if package is None:
            segments.append((0, 0))
            continue
        manifest[app_id] = manifest_entry(package)
        length = _append(out, package.path)
        if length != manifest[app_id]["size"]:
            raise Refused(f"the package {package.path} changed while it was being bundled")
        segments.append((position, length))
        position += length
    text = json.dumps(manifest, indent=2, sort_keys=True).encode("utf-8")
    if len(text) > MAX_MANIFEST_BYTES:
        raise Refused("the manifest is larger than the engine reads")
    out.write(text)
    return segments, (position, len(text))


def _write_atomically(target: Path, write) -> None:
    target.parent.mkdir(parents=True, exist_ok=True)
    handle, temporary = tempfile.mkstemp(dir=target.parent, prefix=".bundling-")
    try:
        with os.fdopen(handle, "wb") as out:
            write(out)
        os.replace(temporary, target)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


def build_sfx(engine: Path, packages: Sequence[Package], out_path: Path) -> List[Segment]:
    """Writes the self-extracting installer; returns its five trailer segments."""
    check_engine(engine)
    by_app = check_packages(packages)
    result: List[Segment] = []

    def write(out: BinaryIO) -> None:
        engine_size = _append(out, engine)
        packages_segments, manifest = _write_payloads(out, engine_size, by_app)
        result.extend([*packages_segments, manifest])
        out.write(encode_trailer(result))

    _write_atomically(out_path, write)
    return result


def build_bundle(packages: Sequence[Package], out_path: Path, bundle_source_dir: Optional[Path] = None,
                 location: Optional[str] = None) -> List[Segment]:
    """Writes the external bundle (and bundle_source.txt); returns its seven footer segments."""
    by_app = check_packages(packages)
    result: List[Segment] = []

    def write(out: BinaryIO) -> None:
        packages_segments, manifest = _write_payloads(out, 0, by_app)
        # Segments 0 and 1 are reserved and left empty.
        result.extend([(0, 0), (0, 0), *packages_segments, manifest])
        out.write(encode_footer(result))

    _write_atomically(out_path, write)
    if bundle_source_dir is not None:
        text = location if location is not None else str(out_path.resolve())
        if not text.strip():
            raise Refused("the bundle location is empty; the engine would ignore bundle_source.txt")
        _write_atomically(bundle_source_dir / "bundle_source.txt", lambda out: out.write(text.encode("utf-8")))
    return result


def _pairs(values: Sequence[str], what: str) -> Dict[str, str]:
    pairs: Dict[str, str] = {}
    for value in values:
        app_id, sep, rest = value.partition("=")
        if not sep or not app_id or not rest:
            raise Refused(f"{what} {value!r} is not APP=VALUE")
        if app_id in pairs:
            raise Refused(f"{app_id!r} is given twice")
        pairs[app_id] = rest
    return pairs


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="build_offline_bundle.py", description=__doc__.split("\n\n")[0],
                                     epilog="\n\n".join(__doc__.split("\n\n")[2:]),
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--engine", type=Path, help="the unsigned engine executable (for --sfx)")
    parser.add_argument("--package", action="append", default=[], metavar="APP=FILE", help="a package (repeatable)")
    parser.add_argument("--version", action="append", default=[], metavar="APP=VERSION",
                        help="the version of each package (repeatable)")
    target = parser.add_mutually_exclusive_group(required=True)
    target.add_argument("--sfx", type=Path, help="write the self-extracting installer here")
    target.add_argument("--bundle", type=Path, help="write an external bundle here")
    parser.add_argument("--bundle-source", type=Path, metavar="DIR", help="write DIR/bundle_source.txt")
    parser.add_argument("--bundle-location", help="the bundle path bundle_source.txt names")
    args = parser.parse_args(argv)
    if args.sfx and not args.engine:
        parser.error("--sfx needs --engine")
    return args


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    try:
        files = _pairs(args.package, "--package")
        versions = _pairs(args.version, "--version")
        if set(files) != set(versions):
            raise Refused("every --package needs one --version for the same app, and no more")
        packages = [Package(app_id, Path(path), versions[app_id]) for app_id, path in files.items()]
        if args.sfx:
            segments = build_sfx(args.engine, packages, args.sfx)
            written = args.sfx
        else:
            segments = build_bundle(packages, args.bundle, args.bundle_source, args.bundle_location)
            written = args.bundle
    except Refused as refusal:
        print(f"build_offline_bundle.py: refused: {refusal}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"build_offline_bundle.py: cannot write: {error}", file=sys.stderr)
        return 1
    for package in packages:
        if not comparable_version(package.version):
            print(f"build_offline_bundle.py: warning: {package.version!r} is not dotted numbers; update checks "
                  "will never compare it", file=sys.stderr)
    print(f"wrote {written}")
    for index, (offset, length) in enumerate(segments):
        print(f"  segment {index}: offset {offset}, {length} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
