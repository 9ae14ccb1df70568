"""The shipped executable's application manifest, read from its PE resources (what Windows
reads when the process starts), and the long paths it declares it can handle.

What Wine cannot show: Wine neither applies the manifest's execution level nor limits
paths to MAX_PATH without it, so the long-path run shows that the engine's own path code
does not cut such paths short; that Windows honours `longPathAware` rests on the manifest.
"""

import json
import struct
import xml.etree.ElementTree as ET

RT_MANIFEST = 24
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
SETTINGS_2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
WINDOWS_10_AND_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


def pe_resources(image: bytes) -> dict:
    """{(type id, name id): bytes} of a PE image's resource tree (numeric ids only)."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    assert image[pe:pe + 4] == b"PE\0\0"
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    rsrc_rva = struct.unpack_from("<I", image, directories + 2 * 8)[0]
    assert rsrc_rva, "the image has no resource directory"
    table = optional + optional_size
    for index in range(sections):
        virtual_size, virtual_address, _, raw_offset = struct.unpack_from("<IIII", image, table + 40 * index + 8)
        if virtual_address <= rsrc_rva < virtual_address + virtual_size:
            to_file = raw_offset - virtual_address
            break
    else:
        raise AssertionError("no section holds the resource directory")
    root = rsrc_rva + to_file

    def entries(offset):
        named, numbered = struct.unpack_from("<12xHH", image, root + offset)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", image, root + offset + 16 + 8 * i)
            yield name, target

    found = {}
    for type_id, type_target in entries(0):
        for name_id, name_target in entries(type_target & 0x7FFFFFFF):
            for _, language_target in entries(name_target & 0x7FFFFFFF):
                data_rva, size = struct.unpack_from("<II", image, root + language_target)
                found[(type_id, name_id)] = image[data_rva + to_file:data_rva + to_file + size]
    return found


def test_the_shipped_exe_carries_its_application_manifest(windows_build):
    resources = pe_resources((windows_build / "YoxaOfficeInstaller.exe").read_bytes())
    # Resource 1 is the one the loader reads for an executable.
    manifest = ET.fromstring(resources[(RT_MANIFEST, 1)])
    assert manifest.tag == f"{{{ASM_V1}}}assembly"
    levels = manifest.findall(f".//{{{ASM_V3}}}requestedExecutionLevel")
    assert [(level.get("level"), level.get("uiAccess")) for level in levels] == [("asInvoker", "false")]
    supported = [os.get("Id") for os in manifest.findall(f".//{{{COMPATIBILITY}}}supportedOS")]
    assert supported == [WINDOWS_10_AND_11]
    long_paths = manifest.findall(f".//{{{SETTINGS_2016}}}longPathAware")
    assert [element.text for element in long_paths] == ["true"]


def test_staging_below_a_base_longer_than_max_path_works(wine, support_exe, tmp_path):
    base = tmp_path / "b"
    while len(wine.windows_path(base)) <= 270:
        base = base / ("deep-folder-" + "x" * 20)
    log_dir = tmp_path / "log"
    result = wine.run(support_exe("staging_probe.exe"), wine.windows_path(log_dir), "paths",
                      wine.windows_path(base), "1.2.3", "msi")
    assert result.code == 0, (result.code, result.stderr)
    outcome = json.loads(result.stdout)
    assert outcome["ok"] is True, outcome
    assert len(outcome["final"]) > 260
    assert outcome["final"].endswith(r"\installer\installer-v1.2.3.msi")
    assert (base / "installer").is_dir()
