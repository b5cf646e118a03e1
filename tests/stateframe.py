"""The frame around saved stream states (rillet/src/stream_bytes.h), written
here from its description so that tests can build and reseal bytes: a
20-byte head (magic, format version, a reserved 0, the payload's length, a
CRC-32 of head and payload), then the payload."""
import struct
import zlib

HEAD = 20


def frame(magic, payload, version=1, reserved=0):
    head = struct.pack("<HHQ", version, reserved, len(payload))
    return magic + head + struct.pack("<I", zlib.crc32(payload, zlib.crc32(head))) + payload
