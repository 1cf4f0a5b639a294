"""The manifest of a saved sharded store: one small JSON file that names the
shard snapshots and how points were routed to them.

It is the last file a save writes, atomically, so a folder always holds one
complete generation: the previous one until the new manifest is in place.
Loading never unpickles anything; the manifest is JSON, checked field by
field, and may only name plain files directly inside its own folder.
"""

import hashlib
import json
import os
import re

from karnoxel_ray._routing import ROUTING

MANIFEST_NAME = "manifest.json"
FORMAT = "karnoxel-sharded"
VERSION = 1
MAX_MANIFEST_BYTES = 16 << 20
MAX_SHARDS = 1 << 16
_SHA256 = re.compile(r"[0-9a-f]{64}")
_HASH_CHUNK = 1 << 20


def shard_file_name(index, generation):
    """The file of shard ``index`` written by save ``generation`` (hex token).

    Every save writes new names, so the files of the previous manifest stay
    intact until the new manifest has replaced it."""
    return f"shard-{index:04d}.{generation}.snap"


def file_digest(path):
    """(size in bytes, SHA-256 hex digest) of the file at ``path``."""
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as stream:
        while chunk := stream.read(_HASH_CHUNK):
            size += len(chunk)
            digest.update(chunk)
    return size, digest.hexdigest()


def build(files):
    """The manifest for shard files given as (name, size, sha256) in shard order."""
    return {
        "format": FORMAT,
        "version": VERSION,
        "routing": ROUTING,
        "shard_count": len(files),
        "shards": [{"file": name, "size": size, "sha256": sha} for name, size, sha in files],
    }


def write(folder, manifest):
    """Writes ``manifest`` into ``folder`` atomically: a synced temporary file
    renamed over the old manifest, then the folder itself synced."""
    data = (json.dumps(manifest, indent=1) + "\n").encode()
    target = os.path.join(folder, MANIFEST_NAME)
    temporary = os.path.join(folder, f".{MANIFEST_NAME}.{os.getpid()}.{os.urandom(4).hex()}.tmp")
    try:
        with open(temporary, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    sync_folder(folder)


def sync_folder(folder):
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _invalid(path, reason):
    return OSError(f"Invalid sharded store manifest {path}: {reason}")


def _is_count(value, low, high):
    return type(value) is int and low <= value <= high


def _plain_name(name):
    return (
        isinstance(name, str)
        and name not in ("", ".", "..")
        and "\0" not in name
        and "/" not in name
        and (os.altsep is None or os.altsep not in name)
        and os.path.basename(name) == name
    )


def read(folder):
    """The checked manifest of ``folder``: (shard_count, [(path, size, sha256)]).

    Raises OSError when the manifest is missing, not JSON, of another format
    or routing rule, or names anything but a file inside ``folder`` (a name
    with a separator, "..", or a symbolic link that leads out of it)."""
    path = os.path.join(folder, MANIFEST_NAME)
    with open(path, "rb") as stream:
        data = stream.read(MAX_MANIFEST_BYTES + 1)
    if len(data) > MAX_MANIFEST_BYTES:
        raise _invalid(path, f"larger than {MAX_MANIFEST_BYTES} bytes")
    try:
        manifest = json.loads(data)
    except ValueError as error:
        raise _invalid(path, f"not JSON ({error})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise _invalid(path, f"not a {FORMAT} manifest")
    if manifest.get("version") != VERSION:
        raise _invalid(path, f"unsupported version {manifest.get('version')!r}")
    if manifest.get("routing") != ROUTING:
        raise _invalid(path, f"unknown routing rule {manifest.get('routing')!r} (this version knows {ROUTING!r})")
    count = manifest.get("shard_count")
    shards = manifest.get("shards")
    if not _is_count(count, 1, MAX_SHARDS) or not isinstance(shards, list) or len(shards) != count:
        raise _invalid(path, "shard_count and the list of shards disagree")
    real_folder = os.path.realpath(folder)
    files, seen = [], set()
    for index, entry in enumerate(shards):
        if not isinstance(entry, dict):
            raise _invalid(path, f"shard {index} is not an object")
        name, size, sha = entry.get("file"), entry.get("size"), entry.get("sha256")
        if not _plain_name(name):
            raise _invalid(path, f"shard {index} names {name!r}, which is not a file inside the manifest's folder")
        if name in seen or name == MANIFEST_NAME:
            raise _invalid(path, f"shard {index} names {name!r} twice")
        seen.add(name)
        shard_path = os.path.join(folder, name)
        if os.path.dirname(os.path.realpath(shard_path)) != real_folder:
            raise _invalid(path, f"shard {index} file {name!r} leads outside the manifest's folder")
        if not _is_count(size, 0, 1 << 62) or not isinstance(sha, str) or not _SHA256.fullmatch(sha):
            raise _invalid(path, f"shard {index} has no valid size and sha256")
        files.append((shard_path, size, sha))
    return count, files


def previous_files(folder):
    """Paths of the shard files the current manifest of ``folder`` names, or
    [] when there is no readable manifest."""
    try:
        return [path for path, _, _ in read(folder)[1]]
    except OSError:
        return []
