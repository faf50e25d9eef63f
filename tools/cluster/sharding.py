"""Which shard a capture belongs to, computed as compute_features --shard does.

A capture is in shard K of N when FNV-1a 64 of its uuid's UTF-8 bytes, mod N,
is K. The hash depends on the uuid alone, so a list that grows or is reordered
keeps every capture in its shard.
"""

FNV_OFFSET_BASIS = 14695981039346656037
FNV_PRIME = 1099511628211
MASK_64 = (1 << 64) - 1


def fnv1a_64(data):
    value = FNV_OFFSET_BASIS
    for byte in data:
        value = ((value ^ byte) * FNV_PRIME) & MASK_64
    return value


def shard_of(uuid, shard_count):
    # surrogateescape: the bytes of a list that is not valid UTF-8, as the program hashes them.
    return fnv1a_64(uuid.encode("utf-8", "surrogateescape")) % shard_count
