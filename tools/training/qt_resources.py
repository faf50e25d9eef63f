"""Read the files packed in a compiled Qt resource bundle (`.rcc`).

Some packages ship their photographs only inside such bundles. The layout
(all integers big-endian): the magic "qres", then the format version and the
offsets of the tree, the data and the names (version 3 adds a flags word).
Tree nodes are 14 bytes (22 from version 2: a modification time follows):
name offset (4), flags (2), then for a folder the child count and the first
child's index (4 + 4), for a file the locale (2 + 2) and the data offset (4).
A name is its length in UTF-16 units (2), a hash (4) and UTF-16BE text; a
file's data is its length (4) then the bytes, zlib-compressed after a 4-byte
size when the node's flag 1 is set. Zstandard (flag 4) is not needed here and
is refused.
"""

import struct
import zlib

COMPRESSED, DIRECTORY, COMPRESSED_ZSTD = 1, 2, 4


class ResourceError(ValueError):
    pass


def _unpack(fmt, buffer, offset):
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(buffer):
        raise ResourceError(f"truncated Qt resource bundle (offset {offset})")
    return struct.unpack_from(fmt, buffer, offset)


def resource_files(buffer):
    """{"/path/in/bundle": bytes} for every file of a compiled Qt resource bundle."""
    if buffer[:4] != b"qres":
        raise ResourceError("not a compiled Qt resource bundle (no 'qres' magic)")
    version, tree, data, names = _unpack(">IIII", buffer, 4)
    if version not in (1, 2, 3):
        raise ResourceError(f"Qt resource format version {version} is not supported")
    node_size = 14 if version == 1 else 22

    def name_at(offset):
        length, = _unpack(">H", buffer, names + offset)
        start = names + offset + 6
        if start + 2 * length > len(buffer):
            raise ResourceError("truncated Qt resource bundle (name)")
        return buffer[start:start + 2 * length].decode("utf-16-be")

    def file_at(node, flags):
        offset, = _unpack(">I", buffer, node + 10)
        length, = _unpack(">I", buffer, data + offset)
        blob = buffer[data + offset + 4:data + offset + 4 + length]
        if len(blob) != length:
            raise ResourceError("truncated Qt resource bundle (data)")
        if flags & COMPRESSED_ZSTD:
            raise ResourceError("zstd-compressed Qt resources are not supported")
        if flags & COMPRESSED:
            blob = zlib.decompress(blob[4:])
        return blob

    files, pending, seen = {}, [(0, "")], set()
    while pending:
        index, folder = pending.pop()
        if index in seen:
            raise ResourceError("Qt resource tree has a cycle")
        seen.add(index)
        node = tree + index * node_size
        name_offset, flags = _unpack(">IH", buffer, node)
        path = folder + "/" + name_at(name_offset) if index else ""
        if flags & DIRECTORY:
            count, first = _unpack(">II", buffer, node + 6)
            pending.extend((child, path) for child in range(first, first + count))
        else:
            files[path] = file_at(node, flags)
    return files
