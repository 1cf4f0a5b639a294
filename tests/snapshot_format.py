"""An independent reader and writer of the snapshot format, for tests: it
shows what the store keeps (payload variants, graph lists) through the
public file format."""

import struct
from dataclasses import dataclass, field

KEYWORD, TEXT, INTEGER, FLOAT = range(4)


class Truncated(Exception):
    pass


@dataclass
class Node:
    id: int
    lists: list  # 16 lists of ids, layer 0 first


@dataclass
class Image:
    points: dict = field(default_factory=dict)  # key -> (id, [float32 bits as floats], payload or None)
    m: int = 16
    ef_construction: int = 64
    ef_search: int = 32
    entry_point: object = None
    max_level: int = 0
    nodes: dict = field(default_factory=dict)  # key -> Node


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise Truncated
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def varint(self):
        value = shift = 0
        while True:
            (b,) = self.take(1)
            value |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                return value

    def string(self):
        return self.take(self.varint()).decode("utf-8")


def parse(data):
    r = Reader(data)
    image = Image()
    for _ in range(r.varint()):
        key, pid, n = r.varint(), r.varint(), None
        n = r.varint()
        vector = list(struct.unpack(f"<{n}f", r.take(4 * n)))
        payload = None
        if r.take(1)[0]:
            payload = {}
            for _ in range(r.varint()):
                name, variant = r.string(), r.varint()
                if variant in (KEYWORD, TEXT):
                    value = r.string()
                elif variant == INTEGER:
                    u = r.varint()
                    value = (u >> 1) ^ -(u & 1)
                else:
                    (value,) = struct.unpack("<d", r.take(8))
                payload[name] = (variant, value)
        image.points[key] = (pid, vector, payload)
    image.m, image.ef_construction, image.ef_search = r.varint(), r.varint(), r.varint()
    image.entry_point = r.varint() if r.take(1)[0] else None
    image.max_level = r.varint()
    for _ in range(r.varint()):
        key, nid = r.varint(), r.varint()
        image.nodes[key] = Node(nid, [[r.varint() for _ in range(r.varint())] for _ in range(16)])
    return image


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def zigzag(value):
    return varint((value << 1) ^ (value >> 63) if value >= 0 else ((value << 1) ^ -1) & (2**64 - 1))


def write(image):
    """Encodes an Image (points and nodes in their dict order)."""
    out = bytearray(varint(len(image.points)))
    for key, (pid, vector, payload) in image.points.items():
        out += varint(key) + varint(pid) + varint(len(vector)) + struct.pack(f"<{len(vector)}f", *vector)
        if payload is None:
            out += b"\x00"
        else:
            out += b"\x01" + varint(len(payload))
            for name, (variant, value) in payload.items():
                raw = name.encode()
                out += varint(len(raw)) + raw + varint(variant)
                if variant in (KEYWORD, TEXT):
                    raw = value.encode()
                    out += varint(len(raw)) + raw
                elif variant == INTEGER:
                    out += zigzag(value)
                else:
                    out += struct.pack("<d", value)
    out += varint(image.m) + varint(image.ef_construction) + varint(image.ef_search)
    out += b"\x00" if image.entry_point is None else b"\x01" + varint(image.entry_point)
    out += varint(image.max_level) + varint(len(image.nodes))
    for key, node in image.nodes.items():
        out += varint(key) + varint(node.id)
        for layer in node.lists:
            out += varint(len(layer)) + b"".join(varint(x) for x in layer)
    return bytes(out)


def snapshot(store, tmp_path, name="image.snap"):
    path = tmp_path / name
    store.save(str(path))
    return parse(path.read_bytes())
