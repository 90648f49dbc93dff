#!/usr/bin/env python3
"""Puts the PowerShell grammar's two packages in node_modules, at the versions and
with the SHA-512 digests that package-lock.json names, straight from npm's registry.

Neither package runs anything when installed, nor needs another at run time: the
grammar ships as WebAssembly, read by web-tree-sitter. So npm itself, hundreds of
Debian packages, is not needed; and the system's certificate store serves, where
npm would carry its own.
"""
import base64
import hashlib
import io
import json
import shutil
import sys
import tarfile
import urllib.request
from pathlib import Path

REGISTRY = 'https://registry.npmjs.org'
here = Path(__file__).resolve().parent
modules = here / 'node_modules'


def fetch(name, entry):
    url = f"{REGISTRY}/{name}/-/{name.rsplit('/', 1)[-1]}-{entry['version']}.tgz"
    with urllib.request.urlopen(url, timeout=60) as response:
        data = response.read()
    algorithm, _, digest = entry['integrity'].partition('-')
    if algorithm != 'sha512' or hashlib.sha512(data).digest() != base64.b64decode(digest):
        sys.exit(f'fetch: {url} is not what package-lock.json names ({entry["integrity"]})')
    target = modules / name
    shutil.rmtree(target, ignore_errors=True)
    with tarfile.open(fileobj=io.BytesIO(data), mode='r:gz') as archive:
        for member in archive.getmembers():
            # npm's tarballs keep everything under package/; links and devices never.
            path = Path(member.name)
            if not (member.isfile() or member.isdir()) or path.parts[:1] != ('package',) \
                    or '..' in path.parts or path.is_absolute():
                sys.exit(f'fetch: {url} holds {member.name!r}, which a package never does')
            if member.isfile():
                out = target.joinpath(*path.parts[1:])
                out.parent.mkdir(parents=True, exist_ok=True)
                out.write_bytes(archive.extractfile(member).read())
    print(f'fetch: {name} {entry["version"]}')


def main():
    lock = json.loads((here / 'package-lock.json').read_text())
    wanted = lock['packages']['']['dependencies']
    modules.mkdir(exist_ok=True)
    (modules / '.installed').unlink(missing_ok=True)
    for name in wanted:
        entry = lock['packages'][f'node_modules/{name}']
        if entry['version'] != wanted[name]:
            sys.exit(f'fetch: package-lock.json has {name} {entry["version"]}, package.json {wanted[name]}')
        fetch(name, entry)
    (modules / '.installed').write_text('')


if __name__ == '__main__':
    main()
