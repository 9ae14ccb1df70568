#!/usr/bin/python3
"""Makes a key pair for signing meta.json and prints the public key in the form the
installer configuration's "metaSigningKeys" list takes.

    tools/make_signing_key.py --out release-signing.pem
    tools/make_signing_key.py --public-of release-signing.pem

The private key (P-256, PKCS#8 PEM, unencrypted) is written with mode 0600 and never
overwritten; keep it off the CDN and out of the repository. Give it to
tools/publish_cdn.py --signing-key. Put the printed line into "metaSigningKeys" of
the configuration the engine is built with; to rotate, list the new key beside the old
one, ship that engine, then sign with the new key and later drop the old one.

Needs python3-cryptography. Exit codes: 0 done, 1 refused, 2 bad usage.
"""

import argparse
import json
import os
import sys
from pathlib import Path

import meta_signing


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="make_signing_key.py", description=__doc__.split("\n\n")[0],
                                     epilog="\n\n".join(__doc__.split("\n\n")[1:]),
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--out", type=Path, help="where to write the new private key (PEM)")
    group.add_argument("--public-of", type=Path, help="print the public key of an existing private key")
    args = parser.parse_args(sys.argv[1:] if argv is None else argv)
    try:
        if args.public_of:
            key = meta_signing.load_private_key(args.public_of)
        else:
            key = meta_signing.new_private_key()
            descriptor = os.open(args.out, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            with os.fdopen(descriptor, "wb") as out:
                out.write(meta_signing.private_key_pem(key))
    except FileExistsError:
        print(f"make_signing_key.py: refused: {args.out} exists; a signing key is never overwritten", file=sys.stderr)
        return 1
    except (OSError, meta_signing.KeyProblem) as error:
        print(f"make_signing_key.py: refused: {error}", file=sys.stderr)
        return 1
    public = meta_signing.public_key_text(key)
    print(public)
    print(f'configuration: "metaSigningKeys": {json.dumps([public])}', file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
